// The two matrix-surround spatial stages: passive ("matrix_surround") and steered
// ("matrix_steer"). Both have zero latency.
#pragma once

#include "core/dsp/matrix/matrix_decode.h"
#include "core/dsp/matrix/matrix_render.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

class MatrixSurroundStage final : public SpatialStage {
 public:
  void Configure(const ProcessorConfig& config) override;
  void Reset() noexcept override;
  size_t Latency() const override { return 0; }
  // dry is the input itself.
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;

 private:
  PassiveMatrix decoder_;
  MatrixRender render_;
};

class MatrixSteerStage final : public SpatialStage {
 public:
  void Configure(const ProcessorConfig& config) override;
  void Reset() noexcept override;
  size_t Latency() const override { return 0; }
  // dry is the input through the decoder's reference allpass chains, so that it stays in phase
  // with the wet fronts; the raw input would comb-filter against them in a wet/dry mix.
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;

 private:
  SteeredMatrix decoder_;
  MatrixRender render_;
};

}  // namespace halvex
