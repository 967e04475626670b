#include "vis/ring.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace halvex::vis {

namespace {

uint64_t Pack(const StereoFrame& frame) { return std::bit_cast<uint64_t>(frame); }
StereoFrame Unpack(uint64_t word) { return std::bit_cast<StereoFrame>(word); }

}  // namespace

void AudioRing::Write(const StereoFrame* frames, size_t n) noexcept {
  if (n == 0) return;
  const uint64_t start = written_.load(std::memory_order_relaxed);
  // Only the newest kCapacity frames of an oversized write can survive it.
  const size_t skip = n > kCapacity ? n - kCapacity : 0;
  // Announce the overwrite before any frame changes, so a reader that saw a new frame also
  // sees that its older slots are gone.
  claimed_.store(start + n, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (size_t i = skip; i < n; ++i) {
    frames_[(start + i) & kMask].store(Pack(frames[i]), std::memory_order_relaxed);
  }
  written_.store(start + n, std::memory_order_release);
}

size_t AudioRing::ReadNewest(StereoFrame* out, size_t n) const noexcept {
  const uint64_t end = written_.load(std::memory_order_acquire);
  const size_t count = static_cast<size_t>(std::min<uint64_t>({n, kCapacity, end}));
  const uint64_t first = end - count;
  for (size_t i = 0; i < count; ++i) {
    out[i] = Unpack(frames_[(first + i) & kMask].load(std::memory_order_relaxed));
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  // Every frame below claimed - kCapacity may have been replaced while it was copied.
  const uint64_t claimed = claimed_.load(std::memory_order_relaxed);
  const uint64_t oldest_intact = claimed > kCapacity ? claimed - kCapacity : 0;
  if (oldest_intact <= first) return count;
  const size_t dropped = static_cast<size_t>(std::min<uint64_t>(oldest_intact - first, count));
  std::memmove(out, out + dropped, (count - dropped) * sizeof(StereoFrame));
  return count - dropped;
}

}  // namespace halvex::vis
