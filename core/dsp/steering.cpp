#include "core/dsp/steering.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/multiversion.h"

namespace halvex {
namespace {

constexpr float kPowerSmoothing = 0.0007f;  // about 1430 frames, 30 ms
constexpr float kGainGlide = 0.002f;        // about 500 frames, 10 ms
constexpr int32_t kRefreshInterval = 64;    // frames between target refreshes
constexpr float kSilentPower = 1e-6f;
// Bounds of the left share, and their logarithms, so a one-sided band stays finite.
constexpr float kMinShare = 0.001f;
constexpr float kMaxShare = 0.999f;
constexpr float kLogMinShare = -6.9077554f;
constexpr float kLogMaxShare = -0.0010004875f;
constexpr float kMinGain = 0.25f;
constexpr float kMaxGain = 2.0f;

}  // namespace

void BandSteering::Configure(float steer_amount, float steer_depth, size_t band_count) {
  band_count_ = std::min(band_count, kMaxEchoBands);
  depth_ = steer_depth;
  exponent_ = std::fmaf(3.0f, steer_amount, 1.0f);
  active_ = steer_amount > 0.0f || steer_depth > 0.0f;
  Reset();
}

void BandSteering::Reset() {
  power_left_.fill(0.0f);
  power_right_.fill(0.0f);
  cross_.fill(0.0f);
  gain_left_.fill(1.0f);
  gain_right_.fill(1.0f);
  target_left_.fill(1.0f);
  target_right_.fill(1.0f);
  countdown_ = 0;
}

void BandSteering::RefreshTargets() {
  for (size_t b = 0; b < band_count_; ++b) {
    const float p = power_left_[b];
    const float q = power_right_[b];
    if (p + q < kSilentPower) {
      target_left_[b] = 1.0f;
      target_right_[b] = 1.0f;
      continue;
    }
    float s = p / (p + q);
    float h;
    float log_s;
    float log_h;
    if (s < kMinShare) {
      s = kMinShare;
      h = kMaxShare;
      log_s = kLogMinShare;
      log_h = kLogMaxShare;
    } else {
      s = std::min(s, kMaxShare);
      h = 1.0f - s;
      log_s = std::log(s);
      log_h = std::log(h);
    }
    const float sharp_s = std::exp(exponent_ * log_s);
    const float sharp_h = std::exp(exponent_ * log_h);
    const float o = sharp_s / (sharp_s + sharp_h);

    const float c = cross_[b] / (std::sqrt(p * q) + 1e-12f);
    const float widen = c < 0.0f ? 1.0f + depth_ : 1.0f + depth_ * (1.0f - std::min(c, 1.0f));
    target_left_[b] = std::clamp(std::sqrt(o / s) * widen, kMinGain, kMaxGain);
    target_right_[b] = std::clamp(std::sqrt((1.0f - o) / h) * widen, kMinGain, kMaxGain);
  }
}

// Cloned for the wider vectors; the updates are element-wise, so both builds give the same bits.
HALVEX_FMA_CLONES void BandSteering::Update(const BandValues& left_bands, const BandValues& right_bands) noexcept {
  if (!active_) {
    return;
  }
  // Every slot, not only the active bands, on local copies of the inputs: with a fixed count
  // and no possible aliasing the element-wise updates vectorise. Slots from band_count up are
  // never refreshed, so their targets and gains stay 1 whatever they are fed.
  const BandValues left = left_bands;
  const BandValues right = right_bands;
  for (size_t b = 0; b < kMaxEchoBands; ++b) {
    const float l = left[b];
    const float r = right[b];
    power_left_[b] += kPowerSmoothing * (l * l - power_left_[b]);
    power_right_[b] += kPowerSmoothing * (r * r - power_right_[b]);
    cross_[b] += kPowerSmoothing * (l * r - cross_[b]);
  }
  countdown_ -= 1;
  if (countdown_ < 1) {
    countdown_ = kRefreshInterval;
    RefreshTargets();
  }
  for (size_t b = 0; b < kMaxEchoBands; ++b) {
    gain_left_[b] += kGainGlide * (target_left_[b] - gain_left_[b]);
    gain_right_[b] += kGainGlide * (target_right_[b] - gain_right_[b]);
  }
}

}  // namespace halvex
