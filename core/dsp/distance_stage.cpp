#include "core/dsp/distance_stage.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/engine_rate.h"

namespace halvex {
namespace {

constexpr size_t kRingMask = DistanceStage::kRingLength - 1;
constexpr float kMinDistance = 1.0f;
constexpr float kMaxDistance = 8.0f;
constexpr float kSilentFieldDb = -40.0f;
constexpr float kDirectCornerHz = 16000.0f;
constexpr float kMinReflectionCornerHz = 4000.0f;

// Per reflection: how much farther its path is than the direct one, and its level. The levels
// stand 6 : 9 : 5, scaled to a combined power of
// 1, so the field level alone sets how loud the sends are: 6, 9 and 5 over sqrt(142).
constexpr std::array<float, DistanceStage::kReflections> kDistanceFactor{1.0f, 1.6f, 2.6f};
constexpr std::array<float, DistanceStage::kReflections> kLevelFactor{0.50350887f, 0.7552632f,
                                                                      0.41959068f};
// A reflection arrives 18 ms / (its distance factor x distance) + 4 ms after the direct sound,
// never later than the Haas limit: later, it would be heard as an echo of its own.
constexpr float kReflectionSpreadMs = 18.0f;
constexpr float kReflectionBaseMs = 4.0f;
constexpr float kFramesPerMs = kEngineRateF / 1000.0f;
static_assert(DistanceStage::kMinDelay == static_cast<size_t>(kReflectionBaseMs * kFramesPerMs),
              "the shortest delay is the base delay");

float OnePoleCoefficient(float hz) {
  const float f = std::clamp(hz, 20.0f, 21600.0f);
  return 1.0f - std::exp(-2.0f * 3.14159265f * f / kEngineRateF);
}

}  // namespace

void DistanceStage::Configure(float distance, float air, float field_level) {
  const float d = std::clamp(distance, kMinDistance, kMaxDistance);
  direct_coefficient_ = OnePoleCoefficient(kDirectCornerHz / std::pow(d, 0.8f));
  // At d = 1 the air term vanishes, which also covers distances below 1.
  // Full air at the farthest distance, none at the nearest.
  air_mix_ = std::clamp(air, 0.0f, 1.0f) * (d - kMinDistance) / (kMaxDistance - kMinDistance);

  const float level = field_level <= kSilentFieldDb ? 0.0f : std::pow(10.0f, field_level / 20.0f);
  const float spread = std::pow(d, -0.35f) * d;
  float power = 0.0f;
  for (size_t k = 0; k < kReflections; ++k) {
    Reflection& r = reflections_[k];
    const float md = kDistanceFactor[k] * d;
    r.gain = level * kLevelFactor[k] * spread;
    r.coefficient =
        OnePoleCoefficient(std::max(kDirectCornerHz / std::pow(md, 0.8f), kMinReflectionCornerHz));
    const float ms = std::min(kReflectionSpreadMs / md + kReflectionBaseMs, kHaasLimitMs);
    r.delay = static_cast<size_t>(
        std::clamp(std::lround(ms * kFramesPerMs), 0L, static_cast<long>(kRingMask)));
    power += r.gain * r.gain;
  }
  // The late send is reflection 2 brought to the combined level of all three.
  const float g2 = reflections_[1].gain;
  late_level_ = std::sqrt(power);
  late_norm_ = g2 + 1e-9f;
  Reset();
}

void DistanceStage::Reset() {
  direct_lp_left_ = 0.0f;
  direct_lp_right_ = 0.0f;
  for (Reflection& r : reflections_) {
    r.ring_left.fill(0.0f);
    r.ring_right.fill(0.0f);
    r.write = 0;
    r.read = 0;
    r.lp_left = 0.0f;
    r.lp_right = 0.0f;
  }
}

StereoSample DistanceStage::Direct(float left, float right) noexcept {
  const float xl = left;
  const float xr = right;
  direct_lp_left_ += direct_coefficient_ * (xl - direct_lp_left_);
  direct_lp_right_ += direct_coefficient_ * (xr - direct_lp_right_);
  return {(1.0f - air_mix_) * xl + air_mix_ * direct_lp_left_,
          (1.0f - air_mix_) * xr + air_mix_ * direct_lp_right_};
}

void DistanceStage::Feed(float shaped_left, float shaped_right) noexcept {
  for (Reflection& r : reflections_) {
    r.ring_left[r.write] = shaped_left;
    r.ring_right[r.write] = shaped_right;
    r.write = (r.write + 1) & kRingMask;
  }
}

void DistanceStage::Sends(std::array<FieldSend, 3>& sends, FieldSend& late) noexcept {
  for (size_t k = 0; k < kReflections; ++k) {
    Reflection& r = reflections_[k];
    // The frame written `delay` frames before this one.
    const size_t read = (r.read - r.delay) & kRingMask;
    r.read = (r.read + 1) & kRingMask;
    r.lp_left += r.coefficient * (r.ring_left[read] - r.lp_left);
    r.lp_right += r.coefficient * (r.ring_right[read] - r.lp_right);
    sends[k].left = r.gain * r.lp_left;
    sends[k].right = r.gain * r.lp_right;
  }
  const float g2 = reflections_[1].gain;
  late.left = late_level_ * (g2 * reflections_[1].lp_left) / late_norm_;
  late.right = late_level_ * (g2 * reflections_[1].lp_right) / late_norm_;
}

void DistanceStage::SendsBlock(size_t count, std::array<FieldSend, 3>* sends,
                               FieldSend* late) noexcept {
  std::array<float, kReflections> lp_left;
  std::array<float, kReflections> lp_right;
  std::array<size_t, kReflections> read;
  for (size_t k = 0; k < kReflections; ++k) {
    lp_left[k] = reflections_[k].lp_left;
    lp_right[k] = reflections_[k].lp_right;
    read[k] = reflections_[k].read;
  }
  const float g2 = reflections_[1].gain;
  for (size_t i = 0; i < count; ++i) {
    for (size_t k = 0; k < kReflections; ++k) {
      const Reflection& r = reflections_[k];
      const size_t at = (read[k] - r.delay) & kRingMask;
      read[k] = (read[k] + 1) & kRingMask;
      lp_left[k] += r.coefficient * (r.ring_left[at] - lp_left[k]);
      lp_right[k] += r.coefficient * (r.ring_right[at] - lp_right[k]);
      sends[i][k].left = r.gain * lp_left[k];
      sends[i][k].right = r.gain * lp_right[k];
    }
    late[i].left = late_level_ * (g2 * lp_left[1]) / late_norm_;
    late[i].right = late_level_ * (g2 * lp_right[1]) / late_norm_;
  }
  for (size_t k = 0; k < kReflections; ++k) {
    reflections_[k].lp_left = lp_left[k];
    reflections_[k].lp_right = lp_right[k];
    reflections_[k].read = read[k];
  }
}

DistanceOutput DistanceStage::Process(float left, float right, float shaped_left,
                                      float shaped_right) noexcept {
  DistanceOutput out;
  out.direct = Direct(left, right);
  Feed(shaped_left, shaped_right);
  Sends(out.sends, out.late);
  return out;
}

}  // namespace halvex
