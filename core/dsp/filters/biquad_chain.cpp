#include "core/dsp/filters/biquad_chain.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/dsp/kit/isa_level.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halvex {
namespace {

[[gnu::always_inline]] inline float Flushed(float z, float flush) {
  return std::fabs(z) < flush ? 0.0f : z;
}

void RunScalar(BiquadChain c, float flush, size_t frames) noexcept {
  for (size_t i = 0; i < frames; ++i) {
    float x = c.samples[i];
    for (size_t k = 0; k < c.count; ++k) {
      Biquad& q = c.sections[k];
      x = q.Process(x);
      if (flush > 0.0f) {
        q.z1 = Flushed(q.z1, flush);
        q.z2 = Flushed(q.z2, flush);
      }
    }
    c.samples[i] = x;
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
constexpr size_t kLanes = 2 * BiquadChain::kMaxSections;

// Chain a in lanes 0-3, chain b in lanes 4-7, section k of each in its k-th lane. Step t works on
// frame t - k in lane k: each lane's output moves up one lane for the next step and the next frame
// enters the chain's first lane. Lanes whose frame is outside the pass compute but keep their
// state; lanes past a chain's last section hold zero coefficients and are never read back. A
// chain's output of frame t - lag leaves its last section's lane at step t.
struct Wavefront {
  __m256 b0, b1, b2, neg_a1, neg_a2, z1, z2, y, flush;
  __m256i last_a, last_b;  // each chain's last lane, in every lane
  float* xa;               // null for a chain with no sections
  float* xb;
  size_t lag_a, lag_b;
  size_t frames;

  [[gnu::always_inline, gnu::target("avx2,fma")]] inline void Emit(float* out, __m256i last,
                                                                   size_t at) noexcept {
    _mm_store_ss(out + at, _mm256_castps256_ps128(_mm256_permutevar8x32_ps(y, last)));
  }

  // kMasked: some lane's frame lies outside the pass (the first steps and the last). kBoth: both
  // chains have sections, so neither pointer needs testing.
  template <bool kMasked, bool kFlush, bool kBoth>
  [[gnu::always_inline, gnu::target("avx2,fma")]] inline void Step(size_t t) noexcept {
    const __m256i up = _mm256_setr_epi32(0, 0, 1, 2, 4, 4, 5, 6);
    __m256 x = _mm256_permutevar8x32_ps(y, up);
    if (t < frames) {
      if (kBoth || xa) x = _mm256_blend_ps(x, _mm256_set1_ps(xa[t]), 0x01);
      if (kBoth || xb) x = _mm256_blend_ps(x, _mm256_set1_ps(xb[t]), 0x10);
    }
    // Biquad::Process, lane by lane.
    y = _mm256_fmadd_ps(b0, x, z1);
    __m256 n1 = _mm256_fmadd_ps(b1, x, _mm256_fmadd_ps(neg_a1, y, z2));
    __m256 n2 = _mm256_fmadd_ps(b2, x, _mm256_mul_ps(neg_a2, y));
    if constexpr (kFlush) {
      const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
      n1 = _mm256_andnot_ps(_mm256_cmp_ps(_mm256_and_ps(n1, magnitude), flush, _CMP_LT_OQ), n1);
      n2 = _mm256_andnot_ps(_mm256_cmp_ps(_mm256_and_ps(n2, magnitude), flush, _CMP_LT_OQ), n2);
    }
    if constexpr (kMasked) {
      const __m256i section = _mm256_setr_epi32(0, 1, 2, 3, 0, 1, 2, 3);
      const __m256i frame = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(t)), section);
      const __m256 live = _mm256_castsi256_ps(
          _mm256_and_si256(_mm256_cmpgt_epi32(frame, _mm256_set1_epi32(-1)),
                           _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(frames)), frame)));
      z1 = _mm256_blendv_ps(z1, n1, live);
      z2 = _mm256_blendv_ps(z2, n2, live);
    } else {
      z1 = n1;
      z2 = n2;
    }
    // In place: frame t's input was read above, and a chain's output is never ahead of it.
    if constexpr (kMasked) {
      if (xa && t >= lag_a && t - lag_a < frames) Emit(xa, last_a, t - lag_a);
      if (xb && t >= lag_b && t - lag_b < frames) Emit(xb, last_b, t - lag_b);
    } else {
      if (kBoth || xa) Emit(xa, last_a, t - lag_a);
      if (kBoth || xb) Emit(xb, last_b, t - lag_b);
    }
  }
};

template <bool kFlush>
__attribute__((target("avx2,fma"))) void RunPass(const BiquadChain& a, const BiquadChain& b,
                                                 size_t frames) noexcept {
  alignas(32) std::array<float, kLanes> b0{}, b1{}, b2{}, neg_a1{}, neg_a2{}, z1{}, z2{};
  const BiquadChain* chains[2] = {&a, &b};
  for (size_t c = 0; c < 2; ++c) {
    for (size_t k = 0; k < chains[c]->count; ++k) {
      const Biquad& q = chains[c]->sections[k];
      const size_t lane = c * BiquadChain::kMaxSections + k;
      b0[lane] = q.b0;
      b1[lane] = q.b1;
      b2[lane] = q.b2;
      neg_a1[lane] = -q.a1;
      neg_a2[lane] = -q.a2;
      z1[lane] = q.z1;
      z2[lane] = q.z2;
    }
  }
  // A chain with no sections has no last lane; its pointer is null and nothing reads these.
  const size_t lag_a = a.count > 0 ? a.count - 1 : 0;
  const size_t lag_b = b.count > 0 ? b.count - 1 : 0;
  const int last_b = static_cast<int>(BiquadChain::kMaxSections + lag_b);
  Wavefront w{_mm256_load_ps(b0.data()),
              _mm256_load_ps(b1.data()),
              _mm256_load_ps(b2.data()),
              _mm256_load_ps(neg_a1.data()),
              _mm256_load_ps(neg_a2.data()),
              _mm256_load_ps(z1.data()),
              _mm256_load_ps(z2.data()),
              _mm256_setzero_ps(),
              _mm256_set1_ps(a.flush),
              _mm256_set1_epi32(static_cast<int>(lag_a)),
              _mm256_set1_epi32(last_b),
              a.count > 0 ? a.samples : nullptr,
              b.count > 0 ? b.samples : nullptr,
              lag_a,
              lag_b,
              frames};
  const size_t lag = std::max(lag_a, lag_b);
  size_t t = 0;
  for (; t < lag; ++t) w.Step<true, kFlush, false>(t);
  if (w.xa && w.xb) {
    for (; t < frames; ++t) w.Step<false, kFlush, true>(t);
  } else {
    for (; t < frames; ++t) w.Step<false, kFlush, false>(t);
  }
  for (; t < frames + lag; ++t) w.Step<true, kFlush, false>(t);

  _mm256_store_ps(z1.data(), w.z1);
  _mm256_store_ps(z2.data(), w.z2);
  for (size_t c = 0; c < 2; ++c) {
    for (size_t k = 0; k < chains[c]->count; ++k) {
      chains[c]->sections[k].z1 = z1[c * BiquadChain::kMaxSections + k];
      chains[c]->sections[k].z2 = z2[c * BiquadChain::kMaxSections + k];
    }
  }
}

const bool kWavefront = CpuRuns(SplitLevel::kAvx2);
#endif

}  // namespace

void RunBiquadChains(BiquadChain a, BiquadChain b, size_t frames) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  if (kWavefront && std::max(a.count, b.count) > 0) {
    if (a.flush > 0.0f) {
      RunPass<true>(a, b, frames);
    } else {
      RunPass<false>(a, b, frames);
    }
    return;
  }
#endif
  RunScalar(a, a.flush, frames);
  RunScalar(b, a.flush, frames);
}

}  // namespace halvex
