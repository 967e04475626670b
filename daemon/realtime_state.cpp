#include "daemon/realtime_state.h"

#include <pipewire/filter.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "core/dsp/kit/denormal_guard.h"

namespace halvex {
namespace {

int64_t SteadyNowNs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

void RealtimeState::OnProcess(void* data, spa_io_position* position) noexcept {
  auto* self = static_cast<RealtimeState*>(data);
  if (position == nullptr) return;
  const auto frames = static_cast<uint32_t>(position->clock.duration);
  self->last_quantum.store(frames, std::memory_order_relaxed);
  self->last_rate.store(position->clock.rate.denom, std::memory_order_relaxed);
  const auto buffer = [&](Port port) { return pw_filter_get_dsp_buffer(self->ports[port], frames); };
  self->ProcessCycle(static_cast<const float*>(buffer(kInputLeft)),
                     static_cast<const float*>(buffer(kInputRight)),
                     static_cast<float*>(buffer(kOutputLeft)),
                     static_cast<float*>(buffer(kOutputRight)), frames);
}

void RealtimeState::ProcessCycle(const float* in_left, const float* in_right, float* out_left,
                                 float* out_right, uint32_t frames) noexcept {
  if (out_left == nullptr && out_right == nullptr) return;
  DenormalGuard denormals;
  const bool run = guard.BeginBlock(SteadyNowNs());
  if (run) processors.BeginCycle(enabled.load(std::memory_order_relaxed));

  for (uint32_t offset = 0; offset < frames; offset += kSliceFrames) {
    const uint32_t n = std::min(kSliceFrames, frames - offset);
    const float* l = in_left != nullptr ? in_left + offset : zeros.data();
    const float* r = in_right != nullptr ? in_right + offset : zeros.data();
    // A missing output still runs through the chain (and the ramp) so both channels stay
    // in step; its samples land in scratch.
    float* ol = out_left != nullptr ? out_left + offset : scratch_left.data();
    float* orr = out_right != nullptr ? out_right + offset : scratch_right.data();
    if (run) {
      processors.Process(l, r, ol, orr, n);
    } else {
      std::memmove(ol, l, n * sizeof(float));
      std::memmove(orr, r, n * sizeof(float));
    }
    guard.SmoothTransition(ol, orr, n);
  }
  guard.EndBlock(SteadyNowNs());
}

}  // namespace halvex
