#include "core/dsp/matrix/spatial_matrix.h"

#include <algorithm>
#include <array>

namespace halvex {

void MatrixSurroundStage::Configure(const ProcessorConfig& config) {
  decoder_.Configure();
  render_.Configure(config, false);
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
  // Longer calls than the Processor makes are cut to the buffers' length.
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    decoder_.DecodeBlock(in + done, surround.data(), n);
    render_.RenderPassiveBlock(in + done, surround.data(), wet.data(), n);
    for (size_t i = 0; i < n; ++i) out[done + i] = {wet[i], in[done + i]};
  }
}

void MatrixSteerStage::Configure(const ProcessorConfig& config) {
  decoder_.Configure(config);
  render_.Configure(config, true);
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
  // Longer calls than the Processor makes are cut to the buffers' length.
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    decoder_.DecodeBlock(in + done, bus.data(), reference.data(), n);
    render_.RenderBlock(bus.data(), wet.data(), n);
    for (size_t i = 0; i < n; ++i) out[done + i] = {wet[i], reference[i]};
  }
}

}  // namespace halvex
