#include "core/dsp/echo/steering.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/kit/multiversion.h"


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

namespace {

// Sixteen slots as one vector: every input of a step is in a register before any output is
// written, so there is no aliasing question and no round trip through the stack.
using Slots = float __attribute__((vector_size(16 * sizeof(float))));

// Read in place, so no vector crosses a call boundary (the builds would pass it differently).
using SlotsAlias = float __attribute__((vector_size(16 * sizeof(float)), aligned(4), may_alias));
#define HALVEX_SLOTS(p) (*reinterpret_cast<const SlotsAlias*>(p))
#define HALVEX_SLOTS_AT(p) (*reinterpret_cast<SlotsAlias*>(p))

}  // namespace

// Cloned for the wider vectors; the updates are element-wise, so every build gives the same
// bits. Every slot up to the next multiple of 16 is updated, not only the active bands: slots
// from band_count up are never refreshed, so their targets and gains stay 1 whatever they are
// fed.
HALVEX_AVX512_CLONES void
BandSteering::Update(const BandValues& left_bands, const BandValues& right_bands) noexcept {
  if (!active_) {
    return;
  }
  const size_t slots = band_count_ <= 16 ? 16 : kMaxEchoBands;
  for (size_t b = 0; b < slots; b += 16) {
    const Slots l = HALVEX_SLOTS(left_bands.data() + b);
    const Slots r = HALVEX_SLOTS(right_bands.data() + b);
    const Slots pl = HALVEX_SLOTS(power_left_.data() + b);
    const Slots pr = HALVEX_SLOTS(power_right_.data() + b);
    const Slots cr = HALVEX_SLOTS(cross_.data() + b);
    HALVEX_SLOTS_AT(power_left_.data() + b) = pl + kPowerSmoothing * (l * l - pl);
    HALVEX_SLOTS_AT(power_right_.data() + b) = pr + kPowerSmoothing * (r * r - pr);
    HALVEX_SLOTS_AT(cross_.data() + b) = cr + kPowerSmoothing * (l * r - cr);
  }
  countdown_ -= 1;
  if (countdown_ < 1) {
    countdown_ = kRefreshInterval;
    RefreshTargets();
  }
  for (size_t b = 0; b < slots; b += 16) {
    const Slots gl = HALVEX_SLOTS(gain_left_.data() + b);
    const Slots gr = HALVEX_SLOTS(gain_right_.data() + b);
    const Slots tl = HALVEX_SLOTS(target_left_.data() + b);
    const Slots tr = HALVEX_SLOTS(target_right_.data() + b);
    HALVEX_SLOTS_AT(gain_left_.data() + b) = gl + kGainGlide * (tl - gl);
    HALVEX_SLOTS_AT(gain_right_.data() + b) = gr + kGainGlide * (tr - gr);
  }
}

#undef HALVEX_SLOTS
#undef HALVEX_SLOTS_AT

}  // namespace halvex
