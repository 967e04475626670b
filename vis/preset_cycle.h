// Preset cycling: when the preset on screen gives way by itself (after its time, or early on a
// strong beat), and the walk through the library that skips presets that do not load.
#pragma once

#include <cstddef>

#include "vis/analysis.h"

namespace halvex::vis {

enum class CycleSwitch { kNone, kTimer, kBeat };

class PresetCycle {
 public:
  static constexpr double kBeatSwitchGap = 4.0;  // seconds
  static constexpr float kBeatSwitchBass = 1.8f;

  // Whether the frame at time t switches, and why; a switch is remembered as of t. Beats
  // switch only when `hard_cut_beat` is set, at least kBeatSwitchGap after the last beat
  // switch and after any switch.
  CycleSwitch Due(const AudioFeatures& features, double t, float preset_time, bool hard_cut_beat);
  // Time of the last automatic switch.
  double last_switch() const { return last_switch_; }

 private:
  double last_switch_ = 0.0;
  double last_beat_switch_ = 0.0;
};

// Tries `load(i)` on the library entries after `current` (step > 0) or before it (step < 0),
// wrapping around so that `current` itself is tried last; true at the first that loads.
template <typename Load>
bool StepThroughLibrary(size_t size, size_t current, int step, Load&& load) {
  for (size_t k = 1; k <= size; ++k) {
    const size_t i = step > 0 ? (current + k) % size : (current % size + size - k) % size;
    if (load(i)) return true;
  }
  return false;
}

}  // namespace halvex::vis
