#include "cli/wav_source.h"

#include <algorithm>
#include <cerrno>

#include <unistd.h>

#include "cli/input_file.h"

namespace halvex {
namespace {

// Samples decoded per read call: the byte buffer stays at 128 KiB whatever the block size.
constexpr size_t kSamplesPerRead = 16384;
// Chunk headers are read through a window of this size, so files of many small chunks cost few reads.
constexpr size_t kScanWindow = 65536;

size_t ReadFully(int fd, uint64_t offset, uint8_t* out, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

const std::string& AudioSource::error() const {
  static const std::string kNone;
  return kNone;
}

void SpreadMonoInPlace(float* out, size_t n) {
  // Backwards, so no sample is overwritten before it has been spread.
  for (size_t i = n; i-- > 0;) {
    out[2 * i + 1] = out[i];
    out[2 * i] = out[i];
  }
}

WavSource::WavSource(const std::string& path) : path_(path) {
  struct stat st {};
  const int fd = OpenInputFile(path, st);
  if (fd < 0) {
    error_ = "cannot open: " + path;
    return;
  }
  if (S_ISREG(st.st_mode)) {
    fd_ = fd;
    std::vector<uint8_t> window;
    uint64_t window_at = 0;
    const WavFetch fetch = [&](uint64_t offset, uint8_t* dst, size_t count) -> size_t {
      if (count > kScanWindow) return ReadFully(fd_, offset, dst, count);
      if (offset < window_at || offset + count > window_at + window.size()) {
        window.resize(kScanWindow);
        window.resize(ReadFully(fd_, offset, window.data(), kScanWindow));
        window_at = offset;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(count, window_at + window.size() - offset));
      std::copy_n(window.data() + (offset - window_at), n, dst);
      return n;
    };
    ok_ = ScanWavLayout(static_cast<uint64_t>(st.st_size), fetch, layout_, error_);
    if (!ok_) return;
    total_frames_ = layout_.data_size / layout_.BytesPerSample() / layout_.channels;
  } else {
    // Read from the descriptor already open: opening a pipe again would wait for a second writer.
    std::vector<uint8_t> bytes;
    ReadToEnd(fd, bytes);
    ::close(fd);
    ok_ = DecodeWav(bytes.data(), bytes.size(), data_, error_);
    if (!ok_) return;
    layout_.channels = static_cast<uint16_t>(data_.channels);
    layout_.sample_rate = static_cast<uint32_t>(data_.sample_rate);
    total_frames_ = data_.samples.size() / static_cast<size_t>(data_.channels);
  }
  mono_ = layout_.channels == 1;
  channels_ = mono_ ? 2 : layout_.channels;
}

WavSource::~WavSource() {
  if (fd_ >= 0) ::close(fd_);
}

AudioFormat WavSource::Format() const {
  if (!ok_) return AudioFormat{};
  return AudioFormat{static_cast<int32_t>(layout_.sample_rate), channels_};
}

size_t WavSource::ReadSamples(float* out, size_t count) {
  const size_t file_channels = layout_.channels;
  if (fd_ < 0) {
    std::copy_n(data_.samples.data() + position_ * file_channels, count, out);
    return count;
  }
  const size_t width = layout_.BytesPerSample();
  uint64_t at = layout_.data_at + position_ * file_channels * width;
  for (size_t done = 0; done < count;) {
    const size_t n = std::min(kSamplesPerRead, count - done);
    bytes_.resize(n * width);
    const size_t got = ReadFully(fd_, at, bytes_.data(), bytes_.size());
    if (got != bytes_.size()) {
      error_ = "read failed: " + path_;
      return done;
    }
    DecodeWavSamples(bytes_.data(), n, layout_, out + done);
    done += n;
    at += got;
  }
  return count;
}

size_t WavSource::Read(float* out, size_t frames) {
  if (!ok_ || !error_.empty()) return 0;
  const size_t file_channels = layout_.channels;
  const size_t n = static_cast<size_t>(std::min<uint64_t>(frames, total_frames_ - std::min(total_frames_, position_)));
  const size_t got = ReadSamples(out, n * file_channels) / file_channels;
  if (mono_) SpreadMonoInPlace(out, got);
  position_ += got;
  return got;
}

}  // namespace halvex
