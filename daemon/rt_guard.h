// Real-time guard of the DSP callback: gives way to plain pass-through when back-to-back blocks
// have used up the busy budget, and ramps the output across every such switch.
#pragma once

#include <atomic>
#include <cstdint>

namespace halvex {

struct RtGuard {
  // A gap longer than this between two blocks means the graph is keeping up.
  static constexpr int64_t kIdleGapNs = 500000;
  // Processing time accumulated over back-to-back blocks before the DSP gives way.
  static constexpr int64_t kBusyBudgetNs = 60000000;
  static constexpr uint32_t kRampLength = 256;
  static constexpr float kRampStep = 1.0f / 256.0f;

  // Times are steady-clock nanoseconds supplied by the caller, so tests can drive the clock.
  // True when the DSP may run this block.
  bool BeginBlock(int64_t now_ns) noexcept;
  // Returns the block's duration, never negative.
  int64_t EndBlock(int64_t now_ns) noexcept;
  // Ramps from the previous block's last samples after a switch; remembers this block's last ones.
  void SmoothTransition(float* left, float* right, uint32_t frames) noexcept;

  int64_t block_start_ns = 0;
  int64_t last_end_ns = 0;
  int64_t busy_ns = 0;
  bool dsp_active = true;
  uint32_t fade_left = 0;
  float held_left = 0.0f;
  float held_right = 0.0f;
  // Read by other threads.
  std::atomic<uint64_t> passed_through{0};
  std::atomic<uint64_t> bursts{0};
};

}  // namespace halvex
