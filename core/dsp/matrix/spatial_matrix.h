// The two matrix-surround spatial stages: passive ("matrix_surround") and steered
// ("matrix_steer"). Both have zero latency.
#pragma once

#include "core/dsp/matrix/matrix_decode.h"
#include "core/dsp/matrix/matrix_render.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

// What both stages are: a decoder and the fold-down of its channels to stereo.
template <typename Decoder>
class MatrixStage : public SpatialStage {
 public:
  void Reset() noexcept override {
    decoder_.Reset();
    render_.Reset();
  }
  size_t Latency() const override { return 0; }

 protected:
  Decoder decoder_;
  MatrixRender render_;
};

class MatrixSurroundStage final : public MatrixStage<PassiveMatrix> {
 public:
  void Configure(const ProcessorConfig& config) override;
  // dry is the input itself.
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;
};

class MatrixSteerStage final : public MatrixStage<SteeredMatrix> {
 public:
  void Configure(const ProcessorConfig& config) override;
  // dry is the input through the decoder's reference allpass chains, so that it stays in phase
  // with the wet fronts; the raw input would comb-filter against them in a wet/dry mix.
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;
};

}  // namespace halvex
