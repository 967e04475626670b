// The data thread's side of a processor change: the heard processor keeps playing while the
// next one warms up muted, then the output crosses over from one to the other. "Plain" (no
// processor, the input as it is) takes part like any processor, so on/off cross over too.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "core/dsp/processor.h"

namespace halvex {

class ProcessorCrossfade {
 public:
  // Frames a new processor runs muted past its own latency, so the transient of starting
  // from silence (filters, FIR and spectral frames filling up) is never heard.
  static constexpr uint32_t kWarmFrames = 1024;
  // 20 ms: long enough that the gain change has no energy above a few hundred Hz, short
  // enough that a slider step is heard at once and both processors run only briefly.
  static constexpr uint32_t kFadeFrames = 960;
  // Longest slice Process accepts.
  static constexpr uint32_t kMaxFrames = 1024;

  // Control side: the processor to be heard while processing is on (null: none installed).
  void Publish(Processor* processor) noexcept { live_.store(processor); }
  // Control side: whether the data thread may still run `processor` (it must not be freed).
  // Read after the processor stopped being published, a false answer stays false.
  bool Holds(const Processor* processor) const noexcept;

  // Data thread, once per cycle before its slices: picks what should be heard (`enabled`
  // false: plain) and starts a change when none is in progress. The first cycle ever installs
  // its pick at once: nothing has been heard yet that could click.
  void BeginCycle(bool enabled) noexcept;
  // Data thread: `frames` (at most kMaxFrames) through the heard processor, and through the
  // incoming one while a change is in progress. An output may be its input.
  void Process(const float* left, const float* right, float* out_left, float* out_right,
               uint32_t frames) noexcept;

  // The processor heard now, and the incoming one (null when none or plain). For tests.
  const Processor* Heard() const noexcept { return held_current_.load(); }
  bool Changing() const noexcept { return changing_; }

 private:
  static void Run(Processor* processor, const float* left, const float* right, float* out_left,
                  float* out_right, uint32_t frames) noexcept;
  void Finish() noexcept;

  std::atomic<Processor*> live_{nullptr};
  // What the data thread may touch: every processor it reads is in one of these first. Moves
  // store the destination before they clear the source; Holds reads sources first.
  std::atomic<Processor*> held_claim_{nullptr};
  std::atomic<Processor*> held_incoming_{nullptr};
  std::atomic<Processor*> held_current_{nullptr};

  // The data thread's own.
  bool started_ = false;
  bool changing_ = false;
  Processor* current_ = nullptr;
  Processor* incoming_ = nullptr;
  uint32_t warm_left_ = 0;
  uint32_t fade_done_ = 0;
  std::array<float, kMaxFrames> next_left_{};
  std::array<float, kMaxFrames> next_right_{};
};

}  // namespace halvex
