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

// What is gathered before a write: large writes keep the file system's per-call cost small. A
// block that does not fit goes out in the same call as what is gathered, without being copied.
constexpr size_t kFlushBytes = size_t{1} << 20;

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
  // Not zero-filled: only bytes written are ever read.
  pending_.reset(new uint8_t[kFlushBytes]);
  std::copy(header_.begin(), header_.end(), pending_.get());
  pending_size_ = header_.size();
}

void WavSink::Write(const float* samples, size_t frames, int channels) {
  if (!error_.empty()) return;
  channels_ = channels;
  const size_t count = frames * static_cast<size_t>(channels > 0 ? channels : 0);
  const size_t bytes = count * 4;
  if (data_bytes_ + bytes > kMaxWavFloatDataBytes) {
    error_ = "output too large for a wav file: " + path_;
    return;
  }
  if constexpr (std::endian::native == std::endian::little) {
    if (pending_size_ + bytes > kFlushBytes) {
      if (!WritevAll(file_.fd(), pending_.get(), pending_size_, reinterpret_cast<const uint8_t*>(samples),
                     bytes)) {
        error_ = "write failed: " + path_;
        return;
      }
      header_written_ = true;
      pending_size_ = 0;
    } else if (bytes != 0) {
      std::memcpy(pending_.get() + pending_size_, samples, bytes);
      pending_size_ += bytes;
    }
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (pending_size_ + 4 > kFlushBytes && !Flush()) return;
      const uint32_t raw = std::bit_cast<uint32_t>(samples[i]);
      for (int b = 0; b < 4; ++b) pending_[pending_size_++] = static_cast<uint8_t>(raw >> (8 * b));
    }
  }
  data_bytes_ += bytes;
}

bool WavSink::Flush() {
  if (!WriteAllBytes(file_.fd(), pending_.get(), pending_size_)) {
    error_ = "write failed: " + path_;
    return false;
  }
  header_written_ = true;
  pending_size_ = 0;
  return true;
}

bool WavSink::Finish() {
  if (!error_.empty()) return false;
  const std::vector<uint8_t> header =
      WavFloatHeader(static_cast<uint32_t>(data_bytes_), channels_, sample_rate_);
  const bool header_pending = !header_written_;
  if (header_pending) std::copy(header.begin(), header.end(), pending_.get());
  if (!Flush()) return false;
  if (!header_pending && header != header_ &&
      !PwriteAll(file_.fd(), header.data(), header.size(), 0)) {
    error_ = "write failed: " + path_;
    return false;
  }
  return file_.Commit(error_);
}

}  // namespace halvex
