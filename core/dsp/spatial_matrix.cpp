#include "core/dsp/spatial_matrix.h"

#include <array>

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

void MatrixSurroundStage::ProcessBlock(const StereoSample* in, StageOutput* out,
                                       size_t frames) noexcept {
  std::array<float, kMaxStageBlock> surround;
  std::array<StereoSample, kMaxStageBlock> wet;
  decoder_.DecodeBlock(in, surround.data(), frames);
  render_.RenderPassiveBlock(in, surround.data(), wet.data(), frames);
  for (size_t i = 0; i < frames; ++i) out[i] = {wet[i], in[i]};
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

void MatrixSteerStage::ProcessBlock(const StereoSample* in, StageOutput* out,
                                    size_t frames) noexcept {
  std::array<MatrixBus, kMaxStageBlock> bus;
  std::array<StereoSample, kMaxStageBlock> reference;
  std::array<StereoSample, kMaxStageBlock> wet;
  decoder_.DecodeBlock(in, bus.data(), reference.data(), frames);
  render_.RenderBlock(bus.data(), wet.data(), frames);
  for (size_t i = 0; i < frames; ++i) out[i] = {wet[i], reference[i]};
}

}  // namespace halvex
