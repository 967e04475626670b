#include "core/dsp/experimental/spatial_experimental.h"

#include <algorithm>

namespace halvex {
namespace {

constexpr size_t kDryMask = ExperimentalStage::kDryRingLength - 1;
// Reading one slot behind the write position of the ring, after it advanced, gives the input
// of kWolaLatency calls ago: the dry signal lines up with the resynthesised wet one.
constexpr size_t kDryReadOffset = kWolaLatency - 1;

}  // namespace

void ExperimentalStage::Configure(const ProcessorConfig& config) {
  active_ = !(config.ambience_spread <= 0.0f && config.direct_spread <= 0.0f &&
              config.ambience_depth == 1.0f);
  if (active_) {
    engine_.Configure();
    renderer_.Configure(config.ambience_spread, config.ambience_depth, config.direct_spread,
                        config.render_target);
    split_.Configure(kSplitFirstBin, kSplitEndBin);
  }
  Reset();
}

void ExperimentalStage::Reset() {
  engine_.Reset();
  split_.Reset();
  renderer_.Reset();
  dry_left_.fill(0.0f);
  dry_right_.fill(0.0f);
  dry_pos_left_ = 0;
  dry_pos_right_ = 0;
}

size_t ExperimentalStage::Latency() const { return active_ ? kWolaLatency : 0; }

inline StageOutput ExperimentalStage::Step(float left, float right) noexcept {
  dry_left_[dry_pos_left_] = left;
  dry_right_[dry_pos_right_] = right;
  dry_pos_left_ = (dry_pos_left_ + 1) & kDryMask;
  dry_pos_right_ = (dry_pos_right_ + 1) & kDryMask;
  StageOutput out;
  out.wet = engine_.Process(left, right, *this);
  out.dry = {dry_left_[(dry_pos_left_ + kDryReadOffset) & kDryMask],
             dry_right_[(dry_pos_right_ + kDryReadOffset) & kDryMask]};
  return out;
}

StageOutput ExperimentalStage::Process(float left, float right) noexcept {
  if (!active_) return {{left, right}, {left, right}};
  return Step(left, right);
}

void ExperimentalStage::ProcessBlock(const StereoSample* in, StageOutput* out,
                                     size_t frames) noexcept {
  if (!active_) {
    for (size_t i = 0; i < frames; ++i) out[i] = {in[i], in[i]};
    return;
  }
  std::array<StereoSample, kMaxStageBlock> wet;
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    engine_.ProcessBlock(in + done, wet.data(), n, *this);
    for (size_t i = 0; i < n; ++i) {
      dry_left_[dry_pos_left_] = in[done + i].left;
      dry_right_[dry_pos_right_] = in[done + i].right;
      dry_pos_left_ = (dry_pos_left_ + 1) & kDryMask;
      dry_pos_right_ = (dry_pos_right_ + 1) & kDryMask;
      out[done + i] = {wet[i],
                       {dry_left_[(dry_pos_left_ + kDryReadOffset) & kDryMask],
                        dry_right_[(dry_pos_right_ + kDryReadOffset) & kDryMask]}};
    }
  }
}

void ExperimentalStage::Apply(StereoSpectrum& spectrum) {
  split_.Update(spectrum);
  renderer_.Render(spectrum, split_);
}

}  // namespace halvex
