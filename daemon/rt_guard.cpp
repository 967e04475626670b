#include "daemon/rt_guard.h"

#include <algorithm>
#include <cmath>

namespace halvex {

bool RtGuard::BeginBlock(int64_t now_ns) noexcept {
  block_start_ns = now_ns;
  if (now_ns - last_end_ns > kIdleGapNs) {
    busy_ns = 0;
  } else if (busy_ns >= kBusyBudgetNs) {
    passed_through.fetch_add(1, std::memory_order_relaxed);
    if (dsp_active) {
      dsp_active = false;
      fade_left = kRampLength;
      bursts.fetch_add(1, std::memory_order_relaxed);
    }
    return false;
  }
  if (!dsp_active) {
    dsp_active = true;
    fade_left = kRampLength;
  }
  return true;
}

int64_t RtGuard::EndBlock(int64_t now_ns) noexcept {
  const int64_t elapsed = std::max<int64_t>(now_ns - block_start_ns, 0);
  last_end_ns = now_ns;
  busy_ns += elapsed;
  return elapsed;
}

void RtGuard::SmoothTransition(float* left, float* right, uint32_t frames) noexcept {
  const uint32_t count = std::min(frames, fade_left);
  const uint32_t base = kRampLength - fade_left;
  for (uint32_t i = 0; i < count; ++i) {
    const float t = static_cast<float>(base + i) * kRampStep;
    left[i] = std::fmaf(left[i] - held_left, t, held_left);
    right[i] = std::fmaf(right[i] - held_right, t, held_right);
  }
  fade_left -= count;
  if (frames > 0) {
    held_left = left[frames - 1];
    held_right = right[frames - 1];
  }
}

}  // namespace halvex
