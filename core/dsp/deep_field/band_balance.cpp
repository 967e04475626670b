#include "core/dsp/deep_field/band_balance.h"


#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {
namespace {

constexpr size_t kBands = kBandSplitBands;
constexpr float kSmoothing = 2e-4f;  // per frame: the powers follow over about 100 ms
constexpr float kStep = 5e-4f;       // per frame: the largest gain change
constexpr float kFloor = 1e-14f;     // powers below this count as silence
constexpr float kMaxGain = 1.4f;
constexpr float kMinGain = 0.71428573f;  // 1/1.4

static_assert(kBands == 8, "the bands are one vector of eight");

// The weighted bands of one channel summed pairwise in a fixed order.
[[gnu::always_inline]] inline float SumBands(const float* w) {
  return ((w[0] + w[1]) + (w[2] + w[3])) + ((w[4] + w[5]) + (w[6] + w[7]));
}

}  // namespace

void BandBalance::Configure() {
  split_left_.Configure();
  split_right_.Configure();
  Reset();
}

void BandBalance::Reset() {
  split_left_.Reset();
  split_right_.Reset();
  power_left_.fill(0.0f);
  power_right_.fill(0.0f);
  gain_left_.fill(1.0f);
  gain_right_.fill(1.0f);
}

// One frame, the eight bands in one vector per channel, the state in registers; the weighted
// bands are left in wl, wr.
[[gnu::always_inline]] inline void BandBalance::Weigh(State& st, const Float8& bl,
                                                     const Float8& br, Float8& wl,
                                                     Float8& wr) noexcept {
  st.power_left = st.power_left + kSmoothing * (bl * bl - st.power_left);
  st.power_right = st.power_right + kSmoothing * (br * br - st.power_right);
  const Float8 mean = (st.power_left + st.power_right) / 2.0f;
  Float8 target_left = mean / (st.power_left + kFloor);
  Float8 target_right = mean / (st.power_right + kFloor);
  field::Sqrt8(target_left);
  field::Sqrt8(target_right);
  field::Clamp8(target_left, kMinGain, kMaxGain);
  field::Clamp8(target_right, kMinGain, kMaxGain);
  Float8 step_left = target_left - st.gain_left;
  Float8 step_right = target_right - st.gain_right;
  field::Clamp8(step_left, -kStep, kStep);
  field::Clamp8(step_right, -kStep, kStep);
  // Below the floor both channels are silent in this band: hold the gains.
  const Int8 live = mean > kFloor;
  st.gain_left = live ? st.gain_left + step_left : st.gain_left;
  st.gain_right = live ? st.gain_right + step_right : st.gain_right;
  wl = bl * st.gain_left;
  wr = br * st.gain_right;
}

[[gnu::always_inline]] inline void BandBalance::Load(State& st) const noexcept {
  Load8(st.power_left, power_left_.data());
  Load8(st.power_right, power_right_.data());
  Load8(st.gain_left, gain_left_.data());
  Load8(st.gain_right, gain_right_.data());
}

[[gnu::always_inline]] inline void BandBalance::Store(const State& st) noexcept {
  Store8(power_left_.data(), st.power_left);
  Store8(power_right_.data(), st.power_right);
  Store8(gain_left_.data(), st.gain_left);
  Store8(gain_right_.data(), st.gain_right);
}

HALVEX_FMA_CLONES
StereoSample BandBalance::Process(float left, float right) noexcept {
  alignas(32) std::array<float, kBands> band_left;
  alignas(32) std::array<float, kBands> band_right;
  split_left_.SplitInline(left, band_left.data());
  split_right_.SplitInline(right, band_right.data());
  State st;
  Load(st);
  Float8 bl, br, wl, wr;
  Load8(bl, band_left.data());
  Load8(br, band_right.data());
  Weigh(st, bl, br, wl, wr);
  Store(st);
  alignas(32) std::array<float, kBands> weighted_left;
  alignas(32) std::array<float, kBands> weighted_right;
  Store8(weighted_left.data(), wl);
  Store8(weighted_right.data(), wr);
  return {SumBands(weighted_left.data()), SumBands(weighted_right.data())};
}

// The gains are serial from frame to frame; the band sums are not, so each eight frames'
// weighted bands are transposed and summed as vectors across the frames, in SumBands' order.
HALVEX_FMA_CLONES
void BandBalance::ProcessBlock(float* left, float* right) noexcept {
  static_assert(BandSplit::kMaxBlock >= kBlock);
  alignas(32) std::array<std::array<float, kBands>, kBlock> band_left;
  alignas(32) std::array<std::array<float, kBands>, kBlock> band_right;
  BandSplit::SplitPair(split_left_, split_right_, left, right, kBlock, band_left.data(),
                       band_right.data());
  State st;
  Load(st);
  for (size_t at = 0; at < kBlock; at += 8) {
    Float8 wl[8];
    Float8 wr[8];
    for (size_t i = 0; i < 8; ++i) {
      Float8 bl, br;
      Load8(bl, band_left[at + i].data());
      Load8(br, band_right[at + i].data());
      Weigh(st, bl, br, wl[i], wr[i]);
    }
    field::Transpose8x8(wl);  // wl[b]: band b of the eight frames
    field::Transpose8x8(wr);
    Store8(left + at, ((wl[0] + wl[1]) + (wl[2] + wl[3])) + ((wl[4] + wl[5]) + (wl[6] + wl[7])));
    Store8(right + at, ((wr[0] + wr[1]) + (wr[2] + wr[3])) + ((wr[4] + wr[5]) + (wr[6] + wr[7])));
  }
  Store(st);
}

}  // namespace halvex
