#include "vis/preset_cycle.h"

namespace halvex::vis {

CycleSwitch PresetCycle::Due(const AudioFeatures& features, double t, float preset_time,
                             bool hard_cut_beat) {
  const double elapsed = t - last_switch_;
  const bool beat = hard_cut_beat && features.beat && features.bass > kBeatSwitchBass &&
                    t - last_beat_switch_ >= kBeatSwitchGap && elapsed >= kBeatSwitchGap;
  if (beat) {
    last_beat_switch_ = t;
  } else if (!(elapsed >= preset_time)) {
    return CycleSwitch::kNone;
  }
  last_switch_ = t;
  return beat ? CycleSwitch::kBeat : CycleSwitch::kTimer;
}

}  // namespace halvex::vis
