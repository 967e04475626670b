#include "core/dsp/deep_field/coherence_gate.h"

#include <algorithm>
#include <cstring>

#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halvex {
namespace {

// The analysed bins: 187.5 Hz to 15937.5 Hz.
constexpr size_t kFirstBin = 4;
constexpr size_t kEndBin = 341;
constexpr float kMinBinEnergy = 1e-12f;
// Ambience this high (relative to the band's energy) counts as fully ambient.
constexpr float kFullAmbience = 0.7f;
constexpr float kGainStep = 8e-4f;  // per frame: a full swing takes 1250 frames

// The analysed bins' energies, and their ambient parts, eight bins at a time (a float compare
// in a plain loop keeps GCC from vectorising it). A bin below the floor gives +0 to both, which
// leaves a band's sum of non-negative terms (never -0) exactly as skipping it would.
[[gnu::always_inline]] inline void BinEnergy(const StereoSpectrum& s, const float* smooth,
                                            size_t k, Float8& energy, Float8& ambient) {
  Float8 lr, li, rr, ri, sm;
  Load8(lr, s.left_re.data() + k);
  Load8(li, s.left_im.data() + k);
  Load8(rr, s.right_re.data() + k);
  Load8(ri, s.right_im.data() + k);
  Load8(sm, smooth + k);
  const Float8 e = lr * lr + li * li + rr * rr + ri * ri;
  const Int8 counted = ~(e < kMinBinEnergy);
  energy = reinterpret_cast<Float8>(reinterpret_cast<Int8>(e) & counted);
  ambient = reinterpret_cast<Float8>(reinterpret_cast<Int8>(e * sm) & counted);
}

HALVEX_FMA_CLONES
void BinEnergies(const StereoSpectrum& s, const float* smooth, float* energy, float* ambient) {
  static_assert(kEndBin + 8 <= kFftBins, "the last vector stays inside the bins");
  for (size_t k = kFirstBin; k < kEndBin; k += 8) {
    Float8 e, a;
    BinEnergy(s, smooth, k, e, a);
    // The last vector's bins past kEndBin are not stored.
    alignas(32) std::array<float, 8> te, ta;
    if (k + 8 <= kEndBin) {
      Store8(energy + k, e);
      Store8(ambient + k, a);
    } else {
      Store8(te.data(), e);
      Store8(ta.data(), a);
      for (size_t i = 0; k + i < kEndBin; ++i) {
        energy[k + i] = te[i];
        ambient[k + i] = ta[i];
      }
    }
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Shape for `count` frames (at most kMaxShapeBlock) with fixed targets, as a wavefront: step t
// works on frame t - k in lane k, as BandSplit::SplitPair does. Lane k holds band k's gain, the
// remainder that band k is cut from and the weighted sum up to band k, so after each step the
// remainders and sums move up one lane and the next frame enters lane 0; lane 7 adds the top
// band and leaves the frame's result. The gains follow their targets lane by lane, which is
// the per-frame step, since each band's gain moves on its own. Every lane does the operations
// of ShapeOne in the same order, so the bits are the same.
constexpr size_t kMaxShapeBlock = 64;

__attribute__((target("avx2,fma"))) void ShapeWavefront(
    BandSplit& a, BandSplit& b, float* current, const float* target, const StereoSample* in,
    StereoSample* out, size_t count) noexcept {
  constexpr size_t kLag = kBandSplitEdges;
  BandSplitPairLanes lanes(a, b);
  const __m256 c = _mm256_load_ps(lanes.coeffs.data());
  const __m256 goal = _mm256_loadu_ps(target);
  const __m256 lo = _mm256_set1_ps(-kGainStep);
  const __m256 hi = _mm256_set1_ps(kGainStep);
  __m256 g = _mm256_loadu_ps(current);
  __m256 sa = _mm256_load_ps(lanes.state_a.data());
  __m256 sb = _mm256_load_ps(lanes.state_b.data());
  __m256 ra = _mm256_setr_ps(in[0].left, 0, 0, 0, 0, 0, 0, 0);
  __m256 rb = _mm256_setr_ps(in[0].right, 0, 0, 0, 0, 0, 0, 0);
  __m256 suma = _mm256_setzero_ps();
  __m256 sumb = _mm256_setzero_ps();
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i up = _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6);
  const __m256i n = _mm256_set1_epi32(static_cast<int>(count));
  const __m256 edge_lanes = _mm256_castsi256_ps(
      _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(kBandSplitEdges)), lane));
  // Step t; kEdge when some lane holds no frame (the first and last kLag steps), which must
  // then keep its state: in between every lane is live and the masks fall away.
  const auto step = [&]<bool kEdge>(size_t t)
                        __attribute__((always_inline, target("avx2,fma"))) {
    // The gains of lane k's frame: d < lo ? lo : (hi < d ? hi : d), added.
    const __m256 d = _mm256_sub_ps(goal, g);
    const __m256 step = _mm256_blendv_ps(_mm256_blendv_ps(d, hi, _mm256_cmp_ps(hi, d, _CMP_LT_OQ)),
                                         lo, _mm256_cmp_ps(d, lo, _CMP_LT_OQ));
    const __m256 na = _mm256_fmadd_ps(c, _mm256_sub_ps(ra, sa), sa);
    const __m256 nb = _mm256_fmadd_ps(c, _mm256_sub_ps(rb, sb), sb);
    if constexpr (kEdge) {
      const __m256i frame = _mm256_sub_epi32(_mm256_set1_epi32(static_cast<int>(t)), lane);
      const __m256 live = _mm256_castsi256_ps(_mm256_and_si256(
          _mm256_cmpgt_epi32(frame, _mm256_set1_epi32(-1)), _mm256_cmpgt_epi32(n, frame)));
      g = _mm256_blendv_ps(g, _mm256_add_ps(g, step), live);
      const __m256 keep = _mm256_and_ps(live, edge_lanes);
      sa = _mm256_blendv_ps(sa, na, keep);
      sb = _mm256_blendv_ps(sb, nb, keep);
    } else {
      g = _mm256_add_ps(g, step);
      sa = _mm256_blend_ps(na, sa, 0x80);
      sb = _mm256_blend_ps(nb, sb, 0x80);
    }
    // Lane 7 weighs the top band (the remainder), the others their new low-pass outputs.
    suma = _mm256_add_ps(suma, _mm256_mul_ps(_mm256_blend_ps(na, ra, 0x80), g));
    sumb = _mm256_add_ps(sumb, _mm256_mul_ps(_mm256_blend_ps(nb, rb, 0x80), g));
    if (!kEdge || t >= kLag) {
      out[t - kLag] = {_mm_cvtss_f32(_mm256_extractf128_ps(_mm256_permute_ps(suma, 0xff), 1)),
                       _mm_cvtss_f32(_mm256_extractf128_ps(_mm256_permute_ps(sumb, 0xff), 1))};
    }
    suma = _mm256_blend_ps(_mm256_permutevar8x32_ps(suma, up), _mm256_setzero_ps(), 0x01);
    sumb = _mm256_blend_ps(_mm256_permutevar8x32_ps(sumb, up), _mm256_setzero_ps(), 0x01);
    const float next_a = !kEdge || t + 1 < count ? in[t + 1].left : 0.0f;
    const float next_b = !kEdge || t + 1 < count ? in[t + 1].right : 0.0f;
    ra = _mm256_blend_ps(_mm256_permutevar8x32_ps(_mm256_sub_ps(ra, na), up),
                         _mm256_set1_ps(next_a), 0x01);
    rb = _mm256_blend_ps(_mm256_permutevar8x32_ps(_mm256_sub_ps(rb, nb), up),
                         _mm256_set1_ps(next_b), 0x01);
  };
  // Every lane is live at steps kLag .. count - 1.
  const size_t steady_end = std::max(count, kLag);
  size_t t = 0;
  for (; t < kLag; ++t) step.template operator()<true>(t);
  for (; t + 1 < steady_end; ++t) step.template operator()<false>(t);
  for (; t < count + kLag; ++t) step.template operator()<true>(t);
  _mm256_storeu_ps(current, g);
  _mm256_store_ps(lanes.state_a.data(), sa);
  _mm256_store_ps(lanes.state_b.data(), sb);
  lanes.StoreStates(a, b);
}

const bool kWavefront = CpuRuns(SplitLevel::kAvx2);
#endif

}  // namespace

void CoherenceGate::Configure(float recycle) {
  recycle_ = recycle;
  enabled_ = recycle < 1.0f;
  engine_.Configure();
  ambient_.Configure(kFirstBin, kEndBin);
  split_left_.Configure();
  split_right_.Configure();
  for (size_t i = 0; i < kFftBins; ++i) {
    size_t band = 0;
    while (band < kBandSplitEdges && static_cast<float>(i) * kBinHz > BandEdgeHz(band)) ++band;
    band_of_bin_[i] = band;
  }
  // The bands' bins among the analysed ones: band b has [band_begin_[b], band_begin_[b + 1]).
  for (size_t b = 0; b <= kBandSplitBands; ++b) {
    size_t k = kFirstBin;
    while (k < kEndBin && band_of_bin_[k] < b) ++k;
    band_begin_[b] = b == kBandSplitBands ? kEndBin : k;
  }
  Reset();
}

void CoherenceGate::Reset() {
  engine_.Reset();
  ambient_.Reset();
  split_left_.Reset();
  split_right_.Reset();
  target_.fill(1.0f);
  current_.fill(1.0f);
  retargeted_ = false;
}

void CoherenceGate::Observe(float left, float right) noexcept {
  if (enabled_) engine_.Analyse(left, right, *this);
}

void CoherenceGate::Apply(StereoSpectrum& spectrum) {
  ambient_.UpdateAmbience(spectrum);  // the gate reads nothing else
  alignas(32) std::array<float, kEndBin> energy;
  alignas(32) std::array<float, kEndBin> ambient;
  BinEnergies(spectrum, ambient_.ambience_smooth.data(), energy.data(), ambient.data());
  // Then each band's sums in bin order; a band's bins are consecutive.
  std::array<float, kBandSplitBands> numerator{};
  std::array<float, kBandSplitBands> denominator{};
  for (size_t b = 0; b < kBandSplitBands; ++b) {
    float num = 0.0f;
    float den = 0.0f;
    for (size_t k = band_begin_[b]; k < band_begin_[b + 1]; ++k) {
      num += ambient[k];
      den += energy[k];
    }
    numerator[b] = num;
    denominator[b] = den;
  }
  for (size_t b = 0; b < kBandSplitBands; ++b) {
    if (denominator[b] <= 0.0f) continue;  // a silent band keeps its previous target
    const float a = std::clamp(numerator[b] / (kFullAmbience * denominator[b]), 0.0f, 1.0f);
    target_[b] = 1.0f + (recycle_ - 1.0f) * a;
  }
  retargeted_ = true;
}

// The gains move in eight lanes at once (std::clamp(v, lo, hi) is v < lo ? lo : (hi < v ? hi : v),
// lane by lane); both channels' splits are inline so their serial chains interleave.
[[gnu::always_inline]] inline StereoSample CoherenceGate::ShapeOne(float left,
                                                                  float right) noexcept {
  static_assert(kBandSplitBands == 8);
  Float8 current, target;
  std::memcpy(&current, current_.data(), sizeof current);
  std::memcpy(&target, target_.data(), sizeof target);
  const Float8 lo = Float8{} - kGainStep;
  const Float8 hi = Float8{} + kGainStep;
  const Float8 d = target - current;
  current += d < lo ? lo : (hi < d ? hi : d);
  std::memcpy(current_.data(), &current, sizeof current);
  return {split_left_.ApplyInline(left, current_.data()),
          split_right_.ApplyInline(right, current_.data())};
}

HALVEX_FMA_CLONES StereoSample CoherenceGate::Shape(float left, float right) noexcept {
  if (!enabled_) return {left, right};
  return ShapeOne(left, right);
}

HALVEX_FMA_CLONES void CoherenceGate::ObserveAndShape(const StereoSample* in, StereoSample* out,
                                                      size_t count) noexcept {
  if (!enabled_) {
    for (size_t i = 0; i < count; ++i) out[i] = in[i];
    return;
  }
#if defined(__x86_64__) && defined(__GNUC__)
  if (kWavefront && count <= kMaxShapeBlock && split_left_.coeffs == split_right_.coeffs) {
    // The analysis never reads the shaping state, so it runs first; the frames between two
    // runs of Apply are then shaped in one wavefront. A change made while analysing frame i
    // (every 256 frames) holds from frame i on, as Observe before Shape has it.
    // Analysed in runs that end where a hop completes, so only a run's last frame can retarget.
    std::array<float, kBandSplitBands> target = target_;
    size_t start = 0;
    for (size_t done = 0; done < count;) {
      done += engine_.AnalyseRun(in + done, count - done, *this);
      if (!retargeted_) continue;
      retargeted_ = false;
      const size_t i = done - 1;
      if (i > start) {
        ShapeWavefront(split_left_, split_right_, current_.data(), target.data(), in + start,
                       out + start, i - start);
      }
      target = target_;
      start = i;
    }
    if (count > start) {
      ShapeWavefront(split_left_, split_right_, current_.data(), target.data(), in + start,
                     out + start, count - start);
    }
    return;
  }
#endif
  for (size_t i = 0; i < count; ++i) {
    engine_.Analyse(in[i].left, in[i].right, *this);
    out[i] = ShapeOne(in[i].left, in[i].right);
  }
}

}  // namespace halvex
