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
}

StageOutput DeepFieldStage::Process(float left, float right) {
  if (!active_) return {{left, right}, {left, right}};
  gate_.Observe(left, right);
  const StereoSample shaped = gate_.Shape(left, right);
  const DistanceOutput out = distance_.Process(left, right, shaped.left, shaped.right);
  const StereoSample field = synth_.Process(out.sends, out.late);
  return {{out.direct.left + field.left, out.direct.right + field.right}, {left, right}};
}

}  // namespace halvex
