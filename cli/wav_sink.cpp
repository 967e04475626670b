#include "cli/wav_sink.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include <sys/uio.h>
#include <unistd.h>

namespace halvex {
namespace {

constexpr size_t kFlushBytes = size_t{1} << 20;
// Blocks at least this large go to the file together with what is pending, without being copied:
// the system call costs less than the copy, and small blocks are still gathered.
constexpr size_t kDirectBytes = size_t{1} << 13;

bool WriteAllBytes(int fd, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes both pieces, resuming after partial writes.
bool WritevAll(int fd, const uint8_t* first, size_t first_size, const uint8_t* second, size_t second_size) {
  iovec pieces[2] = {{const_cast<uint8_t*>(first), first_size}, {const_cast<uint8_t*>(second), second_size}};
  int at = first_size == 0 ? 1 : 0;
  while (at < 2) {
    const ssize_t n = ::writev(fd, pieces + at, 2 - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    size_t done = static_cast<size_t>(n);
    while (at < 2 && done >= pieces[at].iov_len) done -= pieces[at++].iov_len;
    if (at < 2) {
      pieces[at].iov_base = static_cast<uint8_t*>(pieces[at].iov_base) + done;
      pieces[at].iov_len -= done;
    }
  }
  return true;
}

bool PwriteAll(int fd, const uint8_t* bytes, size_t size, off_t at) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, bytes, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

}  // namespace

const std::string& AudioSink::error() const {
  static const std::string kNone;
  return kNone;
}

WavSink::WavSink(std::string path, int sample_rate, int channels, uint64_t expected_frames)
    : path_(std::move(path)), sample_rate_(sample_rate), channels_(channels) {
  if (!file_.Open(path_, error_)) return;
  const uint64_t expected = std::min(expected_frames * 4 * static_cast<uint64_t>(std::max(channels, 0)),
                                     kMaxWavFloatDataBytes);
  header_ = WavFloatHeader(static_cast<uint32_t>(expected), channels_, sample_rate_);
  pending_ = header_;
}

void WavSink::Write(const float* samples, size_t frames, int channels) {
  if (!error_.empty()) return;
  channels_ = channels;
  const size_t count = frames * static_cast<size_t>(channels > 0 ? channels : 0);
  if (data_bytes_ + count * 4 > kMaxWavFloatDataBytes) {
    error_ = "output too large for a wav file: " + path_;
    return;
  }
  const size_t at = pending_.size();
  if constexpr (std::endian::native == std::endian::little) {
    if (count * 4 >= kDirectBytes) {
      if (!WritevAll(file_.fd(), pending_.data(), at, reinterpret_cast<const uint8_t*>(samples), count * 4)) {
        error_ = "write failed: " + path_;
        return;
      }
      header_written_ = true;
      pending_.clear();
      data_bytes_ += count * 4;
      return;
    }
    pending_.resize(at + count * 4);
    if (count != 0) std::memcpy(pending_.data() + at, samples, count * 4);
  } else {
    pending_.resize(at + count * 4);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t raw = std::bit_cast<uint32_t>(samples[i]);
      for (int b = 0; b < 4; ++b) pending_[at + i * 4 + b] = static_cast<uint8_t>(raw >> (8 * b));
    }
  }
  data_bytes_ += count * 4;
  if (pending_.size() >= kFlushBytes) Flush();
}

bool WavSink::Flush() {
  if (!WriteAllBytes(file_.fd(), pending_.data(), pending_.size())) {
    error_ = "write failed: " + path_;
    return false;
  }
  header_written_ = true;
  pending_.clear();
  return true;
}

bool WavSink::Finish() {
  if (!error_.empty()) return false;
  const std::vector<uint8_t> header =
      WavFloatHeader(static_cast<uint32_t>(data_bytes_), channels_, sample_rate_);
  const bool header_pending = !header_written_;
  if (header_pending) std::copy(header.begin(), header.end(), pending_.begin());
  if (!Flush()) return false;
  if (!header_pending && header != header_ &&
      !PwriteAll(file_.fd(), header.data(), header.size(), 0)) {
    error_ = "write failed: " + path_;
    return false;
  }
  return file_.Commit(error_);
}

}  // namespace halvex
