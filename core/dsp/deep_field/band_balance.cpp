#include "core/dsp/deep_field/band_balance.h"

#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

// The band sums of eight frames' weighted bands, in SumBands' order, stored as one vector.
[[gnu::always_inline]] inline void SumBandsOfEight(Float8* w, float* out) {
  field::Transpose8x8(w);  // w[b]: band b of the eight frames
  Store8(out, ((w[0] + w[1]) + (w[2] + w[3])) + ((w[4] + w[5]) + (w[6] + w[7])));
}

#if defined(__x86_64__) && defined(__GNUC__)
// The block for AVX2: Weigh's operations, but with the whole-vector square root and min/max
// where the portable build splits the root in halves and clamps by compare and blend, as GCC
// does not find them itself. max(lo, x) is x < lo ? lo : x and min(hi, x) is x > hi ? hi : x,
// NaN included, and the root is exactly rounded either way, so the bits are the same.
__attribute__((target("avx2,fma"))) void BalanceBlockAvx2(
    const std::array<float, kBands>* bands_left, const std::array<float, kBands>* bands_right,
    float* power_left, float* power_right, float* gain_left, float* gain_right, float* left,
    float* right) noexcept {
  __m256 pl = _mm256_loadu_ps(power_left);
  __m256 pr = _mm256_loadu_ps(power_right);
  __m256 gl = _mm256_loadu_ps(gain_left);
  __m256 gr = _mm256_loadu_ps(gain_right);
  const __m256 smoothing = _mm256_set1_ps(kSmoothing);
  const __m256 floor = _mm256_set1_ps(kFloor);
  const __m256 two = _mm256_set1_ps(2.0f);
  const __m256 min_gain = _mm256_set1_ps(kMinGain);
  const __m256 max_gain = _mm256_set1_ps(kMaxGain);
  const __m256 min_step = _mm256_set1_ps(-kStep);
  const __m256 max_step = _mm256_set1_ps(kStep);
  for (size_t at = 0; at < BandBalance::kBlock; at += 8) {
    Float8 wl[8];
    Float8 wr[8];
    for (size_t i = 0; i < 8; ++i) {
      const __m256 bl = _mm256_load_ps(bands_left[at + i].data());
      const __m256 br = _mm256_load_ps(bands_right[at + i].data());
      pl = _mm256_add_ps(pl, _mm256_mul_ps(smoothing, _mm256_sub_ps(_mm256_mul_ps(bl, bl), pl)));
      pr = _mm256_add_ps(pr, _mm256_mul_ps(smoothing, _mm256_sub_ps(_mm256_mul_ps(br, br), pr)));
      const __m256 mean = _mm256_div_ps(_mm256_add_ps(pl, pr), two);
      __m256 tl = _mm256_sqrt_ps(_mm256_div_ps(mean, _mm256_add_ps(pl, floor)));
      __m256 tr = _mm256_sqrt_ps(_mm256_div_ps(mean, _mm256_add_ps(pr, floor)));
      tl = _mm256_min_ps(max_gain, _mm256_max_ps(min_gain, tl));
      tr = _mm256_min_ps(max_gain, _mm256_max_ps(min_gain, tr));
      const __m256 sl = _mm256_min_ps(max_step, _mm256_max_ps(min_step, _mm256_sub_ps(tl, gl)));
      const __m256 sr = _mm256_min_ps(max_step, _mm256_max_ps(min_step, _mm256_sub_ps(tr, gr)));
      // Below the floor both channels are silent in this band: hold the gains.
      const __m256 live = _mm256_cmp_ps(mean, floor, _CMP_GT_OQ);
      gl = _mm256_blendv_ps(gl, _mm256_add_ps(gl, sl), live);
      gr = _mm256_blendv_ps(gr, _mm256_add_ps(gr, sr), live);
      wl[i] = reinterpret_cast<Float8>(_mm256_mul_ps(bl, gl));
      wr[i] = reinterpret_cast<Float8>(_mm256_mul_ps(br, gr));
    }
    SumBandsOfEight(wl, left + at);
    SumBandsOfEight(wr, right + at);
  }
  _mm256_storeu_ps(power_left, pl);
  _mm256_storeu_ps(power_right, pr);
  _mm256_storeu_ps(gain_left, gl);
  _mm256_storeu_ps(gain_right, gr);
}

const bool kAvx2 = CpuRuns(SplitLevel::kAvx2);
#endif

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
#if defined(__x86_64__) && defined(__GNUC__)
  if (kAvx2) {
    BalanceBlockAvx2(band_left.data(), band_right.data(), power_left_.data(), power_right_.data(),
                     gain_left_.data(), gain_right_.data(), left, right);
    return;
  }
#endif
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
    SumBandsOfEight(wl, left + at);
    SumBandsOfEight(wr, right + at);
  }
  Store(st);
}

}  // namespace halvex
