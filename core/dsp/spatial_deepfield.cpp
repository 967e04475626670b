#include "core/dsp/spatial_deepfield.h"

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
  ahead_ = active_ && distance_.MinDelay() >= kBlock;
  pending_count_ = 0;
  field_.fill({});
  pos_ = 0;
}

void DeepFieldStage::RenderAhead() noexcept {
  std::array<StereoSample, kBlock> shaped;
  gate_.ObserveAndShape(pending_.data(), shaped.data(), pending_count_);
  for (size_t i = 0; i < pending_count_; ++i) distance_.Feed(shaped[i].left, shaped[i].right);
  pending_count_ = kBlock;
  std::array<std::array<FieldSend, 3>, kBlock> sends;
  std::array<FieldSend, kBlock> late;
  distance_.SendsBlock(kBlock, sends.data(), late.data());
  synth_.ProcessBlock(sends, late, field_);
}

StageOutput DeepFieldStage::Process(float left, float right) noexcept {
  if (!active_) return {{left, right}, {left, right}};
  if (!ahead_) {
    gate_.Observe(left, right);
    const StereoSample shaped = gate_.Shape(left, right);
    const DistanceOutput out = distance_.Process(left, right, shaped.left, shaped.right);
    const StereoSample field = synth_.Process(out.sends, out.late);
    return {{out.direct.left + field.left, out.direct.right + field.right}, {left, right}};
  }
  if (pos_ == 0) RenderAhead();
  pending_[pos_] = {left, right};
  const StereoSample direct = distance_.Direct(left, right);
  const StereoSample field = field_[pos_];
  pos_ = pos_ + 1 == kBlock ? 0 : pos_ + 1;
  return {{direct.left + field.left, direct.right + field.right}, {left, right}};
}

}  // namespace halvex
