// The deep-field stage: the source placed at a distance inside a synthetic space. Wet is the
// darkened direct sound plus the synthesised field; dry is the input; no latency.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/deep_field/coherence_gate.h"
#include "core/dsp/deep_field/distance_stage.h"
#include "core/dsp/deep_field/field_synth.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

class DeepFieldStage final : public SpatialStage {
 public:
  void Configure(const ProcessorConfig& config) override;
  void Reset() override;
  size_t Latency() const override { return 0; }
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;

  bool Active() const { return active_; }

 private:
  // The field hears the input only through the reflections, at least kMinDelay frames late, more
  // than a block, so it is rendered a block ahead: the gate and the reflection feed
  // catch up on the frames buffered since the last block, then the sends and the field of the
  // next kBlock frames are computed in one pass. Every part sees the same frames in the same
  // order as frame by frame, so the output is the same; only the work is grouped.
  static constexpr size_t kBlock = FieldSynth::kVelvetBlock;
  static_assert(DistanceStage::kMaxBlock >= kBlock);
  static_assert(DistanceStage::kMinDelay >= kBlock, "the field may run a block ahead");
  void RenderAhead() noexcept;
  // The field of one frame, rendering the next block when the current one is used up.
  StereoSample Field(float left, float right) noexcept;

  CoherenceGate gate_{};
  DistanceStage distance_{};
  FieldSynth synth_{};
  bool active_ = false;
  std::array<StereoSample, kBlock> pending_{};  // input frames not yet fed to the reflections
  size_t pending_count_ = 0;
  std::array<StereoSample, kBlock> field_{};  // the field of the current block
  size_t pos_ = 0;                            // frame within the current block
};

}  // namespace halvex
