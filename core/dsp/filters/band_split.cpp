#include "core/dsp/filters/band_split.h"

#include <cmath>
#include <numbers>

#include "core/dsp/kit/engine_rate.h"
#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halvex {

namespace {

// Upper edges of the lower seven bands, Hz: roughly the ear's critical-band groups.
constexpr std::array<float, kBandSplitEdges> kBandEdgesHz = {120.0f,  300.0f,  700.0f, 1500.0f,
                                                             3000.0f, 6000.0f, 10000.0f};
constexpr float kNyquistHz = 24000.0f;

using BandBlock = std::array<float, kBandSplitBands>;

void SplitPairScalar(BandSplit& a, BandSplit& b, const float* xa, const float* xb, size_t count,
                     BandBlock* bands_a, BandBlock* bands_b) noexcept {
  for (size_t i = 0; i < count; ++i) {
    a.SplitInline(xa[i], bands_a[i].data());
    b.SplitInline(xb[i], bands_b[i].data());
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Step t works on frame t - k in lane k (k < 7): lane k holds the remainder that band k is cut
// from, so after the step the remainders move up one lane and the next frame enters lane 0.
// Lane 7 carries the top band (what the seven low-passes leave) of frame t - 7. Lanes whose frame
// is outside the block compute but keep their state. The skewed results are transposed at the end.
// Lane k of the row `k` rows below `row`, for k = 0 to 7 (rows of eight floats, 32-byte aligned).
__attribute__((target("avx2,fma"), always_inline)) inline __m256 Diagonal(const float* row) {
  __m256 r = _mm256_load_ps(row);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 8), 0x02);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 16), 0x04);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 24), 0x08);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 32), 0x10);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 40), 0x20);
  r = _mm256_blend_ps(r, _mm256_load_ps(row + 48), 0x40);
  return _mm256_blend_ps(r, _mm256_load_ps(row + 56), 0x80);
}

__attribute__((target("avx2,fma"))) void SplitPairWavefront(
    BandSplit& a, BandSplit& b, const float* xa, const float* xb, size_t count, BandBlock* bands_a,
    BandBlock* bands_b) noexcept {
  constexpr size_t kLag = kBandSplitEdges;  // frames between lane 0 and lane 7
  alignas(32) std::array<BandBlock, BandSplit::kMaxBlock + kLag> skew_a;
  alignas(32) std::array<BandBlock, BandSplit::kMaxBlock + kLag> skew_b;
  BandSplitPairLanes lanes(a, b);
  // Both splits share the edge table (Configure sets both the same way), so one coefficient
  // vector serves both.
  const __m256 c = _mm256_load_ps(lanes.coeffs.data());
  __m256 sa = _mm256_load_ps(lanes.state_a.data());
  __m256 sb = _mm256_load_ps(lanes.state_b.data());
  __m256 ra = _mm256_setr_ps(count > 0 ? xa[0] : 0.0f, 0, 0, 0, 0, 0, 0, 0);
  __m256 rb = _mm256_setr_ps(count > 0 ? xb[0] : 0.0f, 0, 0, 0, 0, 0, 0, 0);
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i up = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  const __m256i n = _mm256_set1_epi32(static_cast<int>(count));
  const __m256i edges = _mm256_set1_epi32(static_cast<int>(kBandSplitEdges));
  for (size_t t = 0; t < count + kLag; ++t) {
    const __m256i frame = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(t)), lane);
    const __m256i live = _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(frame, _mm256_set1_epi32(-1)),
                         _mm256_cmpgt_epi32(n, frame)),
        _mm256_cmpgt_epi32(edges, lane));
    const __m256 keep = _mm256_castsi256_ps(live);
    const __m256 na = _mm256_fmadd_ps(c, _mm256_sub_ps(ra, sa), sa);
    const __m256 nb = _mm256_fmadd_ps(c, _mm256_sub_ps(rb, sb), sb);
    sa = _mm256_blendv_ps(sa, na, keep);
    sb = _mm256_blendv_ps(sb, nb, keep);
    // Lane 7 of the skew row is the top band carried in; lanes 0-6 the new low-pass outputs.
    _mm256_store_ps(skew_a[t].data(), _mm256_blend_ps(na, ra, 0x80));
    _mm256_store_ps(skew_b[t].data(), _mm256_blend_ps(nb, rb, 0x80));
    const float next_a = t + 1 < count ? xa[t + 1] : 0.0f;
    const float next_b = t + 1 < count ? xb[t + 1] : 0.0f;
    ra = _mm256_blend_ps(_mm256_permutevar8x32_ps(_mm256_sub_ps(ra, na), up),
                         _mm256_set1_ps(next_a), 0x01);
    rb = _mm256_blend_ps(_mm256_permutevar8x32_ps(_mm256_sub_ps(rb, nb), up),
                         _mm256_set1_ps(next_b), 0x01);
  }
  _mm256_store_ps(lanes.state_a.data(), sa);
  _mm256_store_ps(lanes.state_b.data(), sb);
  lanes.StoreStates(a, b);
  // Frame i's band k is lane k of skew row i + k: the rows blended lane by lane, so each frame's
  // bands are written as one vector (and read back whole without a stall).
  for (size_t i = 0; i < count; ++i) {
    _mm256_storeu_ps(bands_a[i].data(), Diagonal(skew_a[i].data()));
    _mm256_storeu_ps(bands_b[i].data(), Diagonal(skew_b[i].data()));
  }
}

const bool kWavefront = CpuRuns(SplitLevel::kAvx2);
#endif

}  // namespace

void BandSplit::SplitPair(BandSplit& a, BandSplit& b, const float* xa, const float* xb,
                          size_t count, BandBlock* bands_a, BandBlock* bands_b) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kWavefront && count <= kMaxBlock && a.coeffs == b.coeffs) {
    SplitPairWavefront(a, b, xa, xb, count, bands_a, bands_b);
    return;
  }
#endif
  SplitPairScalar(a, b, xa, xb, count, bands_a, bands_b);
}

float BandEdgeHz(size_t index) {
  return index < kBandEdgesHz.size() ? kBandEdgesHz[index] : kNyquistHz;
}

void BandSplit::Configure() {
  const float two_pi = 2.0f * std::numbers::pi_v<float>;
  for (size_t k = 0; k < kBandSplitEdges; ++k) {
    coeffs[k] = 1.0f - std::exp(-two_pi * BandEdgeHz(k) / kEngineRateF);
  }
  Reset();
}

void BandSplit::Reset() { state.fill(0.0f); }

// The cascade is serial (each band is cut from the remainder of the one below), so there is
// nothing to vectorise; the clone only turns the fused multiply-adds into instructions.
HALVEX_FMA_CLONES
void BandSplit::Split(float x, std::array<float, kBandSplitBands>& out) noexcept {
  SplitInline(x, out.data());
}

HALVEX_FMA_CLONES
float BandSplit::Apply(float x, const std::array<float, kBandSplitBands>& gains) noexcept {
  return ApplyInline(x, gains.data());
}

}  // namespace halvex
