// A lock-free single-producer, single-consumer ring of the newest stereo frames.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace halvex::vis {

// One interleaved stereo float frame.
struct StereoFrame {
  float left = 0.0f;
  float right = 0.0f;
};
static_assert(sizeof(StereoFrame) == 8);

// The capture thread writes, the render thread reads the newest frames; neither waits.
class AudioRing {
 public:
  static constexpr size_t kCapacity = 32768;  // a power of two: slot = running index & mask
  static constexpr uint64_t kMask = kCapacity - 1;

  // Appends n frames; a write larger than the ring keeps only its newest kCapacity frames.
  void Write(const StereoFrame* frames, size_t n) noexcept;
  // Copies the newest min(n, kCapacity, written) frames into out, oldest first, and returns how
  // many. Frames the writer overwrote while they were being copied are dropped from the front,
  // so the result can be shorter but never holds torn data.
  size_t ReadNewest(StereoFrame* out, size_t n) const noexcept;

  uint64_t written() const noexcept { return written_.load(std::memory_order_acquire); }

 private:
  // Each frame is one 64-bit word so that a read racing a write is defined and whole.
  std::array<std::atomic<uint64_t>, kCapacity> frames_{};
  // Published after the frames (release): the count of all frames ever written.
  std::atomic<uint64_t> written_{0};
  // Raised before the frames are stored: everything below claimed_ - kCapacity may be gone.
  std::atomic<uint64_t> claimed_{0};
};

}  // namespace halvex::vis
