#include "daemon/processor_crossfade.h"

#include <algorithm>
#include <cstring>

namespace halvex {

bool ProcessorCrossfade::Holds(const Processor* processor) const noexcept {
  // Sources before destinations: a processor moving claim -> incoming -> current is seen in
  // at least one of them.
  return held_claim_.load() == processor || held_incoming_.load() == processor ||
         held_current_.load() == processor;
}

void ProcessorCrossfade::BeginCycle(bool enabled) noexcept {
  Processor* pick = nullptr;
  if (enabled) {
    // Claim, then recheck: once the claim holds what `live_` still holds, a control side that
    // stopped publishing it before the recheck sees the claim.
    pick = live_.load();
    for (;;) {
      held_claim_.store(pick);
      Processor* again = live_.load();
      if (again == pick) break;
      pick = again;
    }
  } else {
    held_claim_.store(nullptr);
  }
  if (!started_) {
    started_ = true;
    current_ = pick;
    held_current_.store(pick);
    return;
  }
  // A change in progress finishes first; the newest pick then follows it, so a burst of
  // changes holds at most two processors and always ends on the last one.
  if (changing_ || pick == current_) return;
  incoming_ = pick;
  held_incoming_.store(pick);
  changing_ = true;
  warm_left_ = pick != nullptr ? static_cast<uint32_t>(pick->Latency()) + kWarmFrames : 0;
  fade_done_ = 0;
}

void ProcessorCrossfade::Run(Processor* processor, const float* left, const float* right,
                             float* out_left, float* out_right, uint32_t frames) noexcept {
  if (processor != nullptr) {
    processor->ProcessPlanar(left, right, out_left, out_right, frames);
  } else {
    std::memmove(out_left, left, frames * sizeof(float));
    std::memmove(out_right, right, frames * sizeof(float));
  }
}

void ProcessorCrossfade::Process(const float* left, const float* right, float* out_left,
                                 float* out_right, uint32_t frames) noexcept {
  if (!changing_) {
    Run(current_, left, right, out_left, out_right, frames);
    return;
  }
  // The incoming one first: the outputs may be the inputs.
  Run(incoming_, left, right, next_left_.data(), next_right_.data(), frames);
  Run(current_, left, right, out_left, out_right, frames);
  const uint32_t warm = std::min(warm_left_, frames);
  warm_left_ -= warm;
  uint32_t i = warm;
  for (; i < frames && fade_done_ < kFadeFrames; ++i, ++fade_done_) {
    // Smoothstep: no corner at either end, so the gain change itself adds no click.
    const float t = (static_cast<float>(fade_done_) + 0.5f) / static_cast<float>(kFadeFrames);
    const float gain = t * t * (3.0f - 2.0f * t);
    out_left[i] += (next_left_[i] - out_left[i]) * gain;
    out_right[i] += (next_right_[i] - out_right[i]) * gain;
  }
  if (fade_done_ < kFadeFrames) return;
  std::memcpy(out_left + i, next_left_.data() + i, (frames - i) * sizeof(float));
  std::memcpy(out_right + i, next_right_.data() + i, (frames - i) * sizeof(float));
  Finish();
}

void ProcessorCrossfade::Finish() noexcept {
  current_ = incoming_;
  held_current_.store(current_);
  incoming_ = nullptr;
  held_incoming_.store(nullptr);
  changing_ = false;
}

}  // namespace halvex
