#include "core/dsp/deep_field/spatial_deepfield.h"

#include <algorithm>

namespace halvex {
namespace {

constexpr float kSilentFieldDb = -40.0f;

}  // namespace

void DeepFieldStage::Configure(const ProcessorConfig& config) {
  active_ = config.distance > 1.0f || config.field_level > kSilentFieldDb;
  if (active_) {
    distance_.Configure(config.distance, config.air, config.field_level);
    synth_.Configure(config.render_target, config.field_size, config.envelopment);
    gate_.Configure(config.recycle);
  }
  Reset();
}

void DeepFieldStage::Reset() {
  gate_.Reset();
  distance_.Reset();
  synth_.Reset();
  pending_count_ = 0;
  field_.fill({});
  pos_ = 0;
}

void DeepFieldStage::RenderAhead() noexcept {
  std::array<StereoSample, kBlock> shaped;
  gate_.ObserveAndShape(pending_.data(), shaped.data(), pending_count_);
  distance_.FeedBlock(shaped.data(), pending_count_);
  pending_count_ = kBlock;
  alignas(32) SendRows sends;
  distance_.SendsBlock(kBlock, sends);
  synth_.ProcessBlock(sends, field_);
}

[[gnu::always_inline]] inline StereoSample DeepFieldStage::Field(float left,
                                                                  float right) noexcept {
  if (pos_ == 0) RenderAhead();
  pending_[pos_] = {left, right};
  const StereoSample field = field_[pos_];
  pos_ = pos_ + 1 == kBlock ? 0 : pos_ + 1;
  return field;
}

StageOutput DeepFieldStage::Process(float left, float right) noexcept {
  if (!active_) return {{left, right}, {left, right}};
  const StereoSample field = Field(left, right);
  const StereoSample direct = distance_.Direct(left, right);
  return {{direct.left + field.left, direct.right + field.right}, {left, right}};
}

// The direct path and the field are independent, so the direct path of a run of frames is
// computed with the field of the same run, a run up to the end of the current block at a time.
void DeepFieldStage::ProcessBlock(const StereoSample* in, StageOutput* out,
                                  size_t frames) noexcept {
  if (!active_) {
    for (size_t i = 0; i < frames; ++i) out[i] = {in[i], in[i]};
    return;
  }
  for (size_t i = 0; i < frames;) {
    if (pos_ == 0) RenderAhead();
    const size_t run = std::min(frames - i, kBlock - pos_);
    distance_.DirectBlock(in + i, field_.data() + pos_, out + i, run);
    std::copy_n(in + i, run, pending_.data() + pos_);
    i += run;
    pos_ = pos_ + run == kBlock ? 0 : pos_ + run;
  }
}

}  // namespace halvex
