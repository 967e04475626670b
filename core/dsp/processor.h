// The DSP engine as its users see it: one stereo frame in, one stereo frame out.
#pragma once

#include <cstddef>
#include <memory>

#include "core/config/config_defaults.h"
#include "core/dsp/output_stage.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

class Processor {
 public:
  // Rebuilds the whole chain from silence. Does not validate; never call on the audio thread.
  void Configure(const ProcessorConfig& config);
  // Real-time safe.
  StereoSample ProcessFrame(float left, float right) noexcept;
  // Interleaved, in place; channels 2 and up are left untouched.
  void ProcessBlock(float* samples, size_t frames, size_t channels) noexcept;
  // Two planar channels; an output may be its own input. Real-time safe.
  void ProcessPlanar(const float* left, const float* right, float* out_left, float* out_right,
                     size_t frames) noexcept;
  // Latency of the installed stage in frames (0 before the first Configure).
  size_t Latency() const { return stage_ ? stage_->Latency() : 0; }

 private:
  StereoSample Run(float left, float right) noexcept;
  StereoSample Mix(StereoSample wet, StereoSample dry) const noexcept;
  // Up to kMaxStageBlock frames through the stage, the output stage and the mix, in place.
  void RunBlock(StereoSample* frames, size_t count) noexcept;

  std::unique_ptr<SpatialStage> stage_;
  OutputStage output_;
  float wet_gain_ = 1.0f;
  float dry_gain_ = 0.0f;
};

}  // namespace halvex
