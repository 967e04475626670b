// The deep-field stage: the source placed at a distance inside a synthetic space. Wet is the
// darkened direct sound plus the synthesised field; dry is the input; no latency.
#pragma once

#include <cstddef>

#include "core/dsp/coherence_gate.h"
#include "core/dsp/distance_stage.h"
#include "core/dsp/field_synth.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

class DeepFieldStage final : public SpatialStage {
 public:
  void Configure(const ProcessorConfig& config) override;
  void Reset() override;
  size_t Latency() const override { return 0; }
  StageOutput Process(float left, float right) override;

  bool Active() const { return active_; }

 private:
  CoherenceGate gate_{};
  DistanceStage distance_{};
  FieldSynth synth_{};
  bool active_ = false;
};

}  // namespace halvex
