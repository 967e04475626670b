#include "core/dsp/deep_field/distance_stage.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/dsp/kit/engine_rate.h"
#include "core/dsp/deep_field/field_lanes.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {
namespace {

constexpr size_t kRingMask = DistanceStage::kRingLength - 1;

// dst[i] = src[i] for a run of frames; a whole block as four vector copies, where GCC would
// call memcpy for the loop (several times the instructions for 128 bytes).
[[gnu::always_inline]] inline void CopyFrames(float* dst, const float* src, size_t count) {
  if (count == field::kBlock) {
    field::Lanes32 v;
    field::LoadLanes(v, src);
    field::StoreLanes(dst, v);
    return;
  }
  for (size_t i = 0; i < count; ++i) dst[i] = src[i];
}
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
  dry_mix_ = 1.0f - air_mix_;

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

// Two frames at a time, left and right as lanes: every lane does Direct's operations in its
// order, so the bits are Direct's. Lanes 2 and 3 of the filter state carry values never used.
// Cloned for the three-operand forms, which save the register copies.
HALVEX_FMA_CLONES void DistanceStage::DirectBlock(const StereoSample* in, const StereoSample* field, StageOutput* out,
                                size_t count) noexcept {
  static_assert(sizeof(StereoSample) == 2 * sizeof(float) && sizeof(StageOutput) == 4 * sizeof(float));
  const Float4 coefficient = field::Splat(direct_coefficient_);
  const Float4 dry = field::Splat(dry_mix_);
  const Float4 air = field::Splat(air_mix_);
  Float4 lp{direct_lp_left_, direct_lp_right_, 0.0f, 0.0f};
  size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    const Float4 x = Load4(&in[i].left);
    const Float4 first = lp + coefficient * (x - lp);
    lp = first + coefficient * (__builtin_shufflevector(x, x, 2, 3, 2, 3) - first);
    const Float4 both = __builtin_shufflevector(first, lp, 0, 1, 4, 5);
    const Float4 wet = dry * x + air * both + Load4(&field[i].left);
    Store4(&out[i].wet.left, __builtin_shufflevector(wet, x, 0, 1, 4, 5));
    Store4(&out[i + 1].wet.left, __builtin_shufflevector(wet, x, 2, 3, 6, 7));
  }
  direct_lp_left_ = lp[0];
  direct_lp_right_ = lp[1];
  if (i < count) {
    const StereoSample direct = Direct(in[i].left, in[i].right);
    out[i] = {{direct.left + field[i].left, direct.right + field[i].right}, in[i]};
  }
}

HALVEX_FMA_CLONES
void DistanceStage::FeedBlock(const StereoSample* shaped, size_t count) noexcept {
  alignas(32) std::array<float, kMaxBlock> left;
  alignas(32) std::array<float, kMaxBlock> right;
  for (size_t i = 0; i < count; ++i) {
    left[i] = shaped[i].left;
    right[i] = shaped[i].right;
  }
  for (Reflection& r : reflections_) {
    if (r.write + count <= kRingLength) {
      CopyFrames(r.ring_left.data() + r.write, left.data(), count);
      CopyFrames(r.ring_right.data() + r.write, right.data(), count);
    } else {
      for (size_t i = 0; i < count; ++i) {
        r.ring_left[(r.write + i) & kRingMask] = left[i];
        r.ring_right[(r.write + i) & kRingMask] = right[i];
      }
    }
    r.write = (r.write + count) & kRingMask;
  }
}

// Lane 2k is reflection k's left filter, lane 2k + 1 its right one, each doing the operations
// of Sends, so the bits are the same. Eight frames at a time are transposed in, run frame by
// frame across the lanes, and transposed back out as rows; lanes 6 and 7 carry the late send
// out, taken from reflection 1's lanes.
HALVEX_FMA_CLONES
void DistanceStage::SendsBlock(size_t count, SendRows& out) noexcept {
  static_assert(2 * kReflections + 2 == kSendRows, "the sends and the late send fill a vector");
  constexpr size_t kLanes = 8;
  // The frames each filter reads, one row per lane.
  alignas(32) std::array<std::array<float, kMaxBlock>, kLanes> rows;
  rows[6].fill(0.0f);
  rows[7].fill(0.0f);
  for (size_t k = 0; k < 2 * kReflections; ++k) {
    for (size_t i = count; i < kMaxBlock; ++i) rows[k][i] = 0.0f;  // past a short block
  }
  for (size_t k = 0; k < kReflections; ++k) {
    const Reflection& r = reflections_[k];
    const size_t first = (r.read - r.delay) & kRingMask;
    if (first + count <= kRingLength) {
      CopyFrames(rows[2 * k].data(), r.ring_left.data() + first, count);
      CopyFrames(rows[2 * k + 1].data(), r.ring_right.data() + first, count);
      continue;
    }
    for (size_t i = 0; i < count; ++i) {
      rows[2 * k][i] = r.ring_left[(first + i) & kRingMask];
      rows[2 * k + 1][i] = r.ring_right[(first + i) & kRingMask];
    }
  }
  alignas(32) std::array<float, kLanes> coefficient{}, gain{}, lp{};
  for (size_t k = 0; k < kReflections; ++k) {
    const Reflection& r = reflections_[k];
    coefficient[2 * k] = coefficient[2 * k + 1] = r.coefficient;
    gain[2 * k] = gain[2 * k + 1] = r.gain;
    lp[2 * k] = r.lp_left;
    lp[2 * k + 1] = r.lp_right;
  }
  Float8 c, g, state;
  std::memcpy(&c, coefficient.data(), sizeof c);
  std::memcpy(&g, gain.data(), sizeof g);
  std::memcpy(&state, lp.data(), sizeof state);
  const float g2 = reflections_[1].gain;
  const auto frame = [&](Float8& x) {
    state = state + c * (x - state);
    const Float8 send = g * state;
    const Float8 combined = late_level_ * (g2 * state) / late_norm_;
    x = __builtin_shufflevector(send, combined, 0, 1, 2, 3, 4, 5, 10, 11);
  };
  for (size_t at = 0; at < count; at += 8) {
    Float8 x[kLanes];
    for (size_t n = 0; n < kLanes; ++n) std::memcpy(&x[n], rows[n].data() + at, sizeof x[n]);
    field::Transpose8x8(x);  // x[i]: every filter's input in frame at + i
    if (at + 8 <= count) {
      // Unrolled, so the transposed frames stay in registers.
#pragma GCC unroll 8
      for (size_t i = 0; i < 8; ++i) frame(x[i]);
    } else {
      for (size_t i = 0; at + i < count; ++i) frame(x[i]);
    }
    field::Transpose8x8(x);  // x[n]: row n's eight frames
    for (size_t n = 0; n < kLanes; ++n) std::memcpy(out[n].data() + at, &x[n], sizeof x[n]);
  }
  std::memcpy(lp.data(), &state, sizeof state);
  for (size_t k = 0; k < kReflections; ++k) {
    Reflection& r = reflections_[k];
    r.lp_left = lp[2 * k];
    r.lp_right = lp[2 * k + 1];
    r.read = (r.read + count) & kRingMask;
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
