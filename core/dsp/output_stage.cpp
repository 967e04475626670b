#include "core/dsp/output_stage.h"

#include "core/dsp/multiversion.h"

namespace halvex {
namespace {

constexpr float kBassShelfHz = 180.0f;
constexpr size_t kHaasMask = OutputStage::kHaasLineLength - 1;

}  // namespace

void OutputStage::Configure(const OutputParams& params) {
  highpass_left_.SetButterworthHighpass(params.highpass_hz);
  highpass_right_.SetButterworthHighpass(params.highpass_hz);

  treble_on_ = params.treble_shelf_db != 0.0f;
  if (treble_on_) {
    treble_left_.SetHighShelf(params.treble_shelf_hz, params.treble_shelf_db);
    treble_right_.SetHighShelf(params.treble_shelf_hz, params.treble_shelf_db);
  }
  bass_on_ = params.bass_shelf_db != 0.0f;
  if (bass_on_) {
    bass_left_.SetLowShelf(kBassShelfHz, params.bass_shelf_db);
    bass_right_.SetLowShelf(kBassShelfHz, params.bass_shelf_db);
  }
  limiter_.SetCeiling(params.ceiling_db);
  haas_delay_ = params.haas_delay_samples > kHaasMask ? kHaasMask : params.haas_delay_samples;
  haas_left_ = params.haas_left;
}

void OutputStage::Reset() {
  for (Biquad* q : {&highpass_left_, &highpass_right_, &treble_left_, &treble_right_, &bass_left_,
                    &bass_right_}) {
    q->Reset();
  }
  haas_line_.fill(0.0f);
  haas_write_ = 0;
}

HALVEX_FMA_CLONES StereoSample OutputStage::Process(StereoSample in) noexcept {
  float left = in.left;
  float right = in.right;
  if (haas_delay_ != 0) {
    float& delayed = haas_left_ ? left : right;
    // Store before read; the delay never exceeds the mask, so the read never sees this sample.
    haas_line_[haas_write_] = delayed;
    delayed = haas_line_[(haas_write_ - haas_delay_) & kHaasMask];
    haas_write_ = (haas_write_ + 1) & kHaasMask;
  }
  left = highpass_left_.Process(left);
  right = highpass_right_.Process(right);
  if (bass_on_) {
    left = bass_left_.Process(left);
    right = bass_right_.Process(right);
  }
  if (treble_on_) {
    left = treble_left_.Process(left);
    right = treble_right_.Process(right);
  }
  return {limiter_.Process(left), limiter_.Process(right)};
}

}  // namespace halvex
