#include "core/dsp/spatial_matrix.h"

namespace halvex {

void MatrixSurroundStage::Configure(const ProcessorConfig& config) {
  decoder_.Configure();
  render_.Configure(config, false);
}

void MatrixSurroundStage::Reset() noexcept {
  decoder_.Reset();
  render_.Reset();
}

StageOutput MatrixSurroundStage::Process(float left, float right) noexcept {
  StageOutput out;
  out.wet = render_.Render(decoder_.Decode(left, right));
  out.dry = {left, right};
  return out;
}

void MatrixSteerStage::Configure(const ProcessorConfig& config) {
  decoder_.Configure(config);
  render_.Configure(config, true);
}

void MatrixSteerStage::Reset() noexcept {
  decoder_.Reset();
  render_.Reset();
}

StageOutput MatrixSteerStage::Process(float left, float right) noexcept {
  StageOutput out;
  out.wet = render_.Render(decoder_.Decode(left, right));
  out.dry = decoder_.Reference();
  return out;
}

}  // namespace halvex
