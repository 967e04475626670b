#include "core/dsp/output_stage.h"

#include <algorithm>
#include <cstring>

#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace halvex {
namespace {

constexpr float kBassShelfHz = 180.0f;
constexpr size_t kHaasMask = OutputStage::kHaasLineLength - 1;

#if defined(__x86_64__) && defined(__GNUC__)
// A stereo pair of biquads as lanes 0 and 1 of one vector: every lane does Biquad::Process's
// operations in its order (fused where it fuses), so the bits are the scalar filter's.
struct PairedBiquad {
  __m128 b0, b1, b2, neg_a1, neg_a2, z1, z2;
};

[[gnu::always_inline, gnu::target("arch=x86-64-v3")]] inline PairedBiquad Pair(const Biquad& l,
                                                                               const Biquad& r) {
  return {_mm_setr_ps(l.b0, r.b0, 0, 0),   _mm_setr_ps(l.b1, r.b1, 0, 0),
          _mm_setr_ps(l.b2, r.b2, 0, 0),   _mm_setr_ps(-l.a1, -r.a1, 0, 0),
          _mm_setr_ps(-l.a2, -r.a2, 0, 0), _mm_setr_ps(l.z1, r.z1, 0, 0),
          _mm_setr_ps(l.z2, r.z2, 0, 0)};
}

// Lanes 0 and 1 of a pair's state back into the two filters, for float and double pairs alike.
template <typename Paired, typename Filter>
[[gnu::always_inline]] inline void Unpair(const Paired& q, Filter& l, Filter& r) {
  using Scalar = decltype(l.z1);
  Scalar z1[sizeof(q.z1) / sizeof(Scalar)], z2[sizeof(q.z2) / sizeof(Scalar)];
  std::memcpy(z1, &q.z1, sizeof(z1));
  std::memcpy(z2, &q.z2, sizeof(z2));
  l.z1 = z1[0];
  r.z1 = z1[1];
  l.z2 = z2[0];
  r.z2 = z2[1];
}

[[gnu::always_inline, gnu::target("arch=x86-64-v3")]] inline __m128 Run(PairedBiquad& q, __m128 x) {
  const __m128 y = _mm_fmadd_ps(q.b0, x, q.z1);
  q.z1 = _mm_fmadd_ps(q.b1, x, _mm_fmadd_ps(q.neg_a1, y, q.z2));
  q.z2 = _mm_fmadd_ps(q.b2, x, _mm_mul_ps(q.neg_a2, y));
  return y;
}

// The same for the double-precision high-pass: WideBiquad::Process lane by lane.
struct PairedWide {
  __m128d b0, b1, b2, neg_a1, neg_a2, z1, z2;
};

[[gnu::always_inline, gnu::target("arch=x86-64-v3")]] inline PairedWide Pair(const WideBiquad& l,
                                                                             const WideBiquad& r) {
  return {_mm_setr_pd(l.b0, r.b0),   _mm_setr_pd(l.b1, r.b1),   _mm_setr_pd(l.b2, r.b2),
          _mm_setr_pd(-l.a1, -r.a1), _mm_setr_pd(-l.a2, -r.a2), _mm_setr_pd(l.z1, r.z1),
          _mm_setr_pd(l.z2, r.z2)};
}

// Takes and gives float lanes 0 and 1; the upper two come back zero.
[[gnu::always_inline, gnu::target("arch=x86-64-v3")]] inline __m128 Run(PairedWide& q, __m128 in) {
  const __m128d x = _mm_cvtps_pd(in);
  const __m128d y = _mm_fmadd_pd(q.b0, x, q.z1);
  q.z1 = _mm_fmadd_pd(q.b1, x, _mm_fmadd_pd(q.neg_a1, y, q.z2));
  q.z2 = _mm_fmadd_pd(q.b2, x, _mm_mul_pd(q.neg_a2, y));
  return _mm_cvtpd_ps(y);
}
#endif

}  // namespace

void OutputStage::Configure(const OutputParams& params) {
  highpass_left_.SetButterworthHighpass(static_cast<double>(params.highpass_hz));
  highpass_right_.SetButterworthHighpass(static_cast<double>(params.highpass_hz));

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
  haas_delay_ = std::min(params.haas_delay_samples, kMaxDelayFrames);
  haas_left_ = params.haas_left;
}

void OutputStage::Reset() {
  highpass_left_.Reset();
  highpass_right_.Reset();
  for (Biquad* q : {&treble_left_, &treble_right_, &bass_left_, &bass_right_}) q->Reset();
  haas_line_.fill(0.0f);
  haas_write_ = 0;
}

// Inlined into both entry points, so each clone gets its own copy with single-instruction fmas.
[[gnu::always_inline]] inline StereoSample OutputStage::Step(StereoSample in) noexcept {
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

HALVEX_FMA_CLONES StereoSample OutputStage::Process(StereoSample in) noexcept { return Step(in); }

#if defined(__x86_64__) && defined(__GNUC__)
namespace {

// The filters of a block, both channels side by side: they are recursive in time, so the pair is
// the only parallelism there is. Which shelves run is fixed per block, not tested per frame.
template <bool kBass, bool kTreble>
[[gnu::target("arch=x86-64-v3")]] void FilterPairs(StereoSample* frames, size_t count,
                                                   PairedWide& highpass, PairedBiquad& bass,
                                                   PairedBiquad& treble) noexcept {
  for (size_t i = 0; i < count; ++i) {
    __m128 x = Run(highpass, _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(frames + i))));
    if constexpr (kBass) x = Run(bass, x);
    if constexpr (kTreble) x = Run(treble, x);
    _mm_store_sd(reinterpret_cast<double*>(frames + i), _mm_castps_pd(x));
  }
}

// SoftClipLimiter::Process on every sample, eight at a time: x * (1 - (c * x) * x) inside the
// knees, the ceiling beyond them.
[[gnu::target("arch=x86-64-v3")]] void LimitSamples(float* samples, size_t count,
                                                    const SoftClipLimiter& limiter) noexcept {
  const __m256 knee = _mm256_set1_ps(limiter.knee());
  const __m256 neg_knee = _mm256_set1_ps(-limiter.knee());
  const __m256 ceiling = _mm256_set1_ps(limiter.ceiling());
  const __m256 neg_ceiling = _mm256_set1_ps(-limiter.ceiling());
  const __m256 coefficient = _mm256_set1_ps(limiter.coefficient());
  const __m256 one = _mm256_set1_ps(1.0f);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 x = _mm256_loadu_ps(samples + i);
    __m256 y = _mm256_mul_ps(x, _mm256_sub_ps(one, _mm256_mul_ps(_mm256_mul_ps(coefficient, x), x)));
    y = _mm256_blendv_ps(y, ceiling, _mm256_cmp_ps(x, knee, _CMP_GE_OQ));
    y = _mm256_blendv_ps(y, neg_ceiling, _mm256_cmp_ps(x, neg_knee, _CMP_LE_OQ));
    _mm256_storeu_ps(samples + i, y);
  }
  for (; i < count; ++i) samples[i] = limiter.Process(samples[i]);
}

}  // namespace

// Step's work in three passes over the block: the Haas delay, the filters, the limiter. Each
// sample meets the same operations in the same order, so the bits are Step's.
[[gnu::target("arch=x86-64-v3")]] void OutputStage::ProcessPaired(StereoSample* frames,
                                                                  size_t count) noexcept {
  if (haas_delay_ != 0) {
    float StereoSample::*delayed = haas_left_ ? &StereoSample::left : &StereoSample::right;
    for (size_t i = 0; i < count; ++i) {
      haas_line_[haas_write_] = frames[i].*delayed;
      frames[i].*delayed = haas_line_[(haas_write_ - haas_delay_) & kHaasMask];
      haas_write_ = (haas_write_ + 1) & kHaasMask;
    }
  }
  PairedWide highpass = Pair(highpass_left_, highpass_right_);
  PairedBiquad bass = Pair(bass_left_, bass_right_);
  PairedBiquad treble = Pair(treble_left_, treble_right_);
  if (bass_on_) {
    if (treble_on_) {
      FilterPairs<true, true>(frames, count, highpass, bass, treble);
    } else {
      FilterPairs<true, false>(frames, count, highpass, bass, treble);
    }
  } else if (treble_on_) {
    FilterPairs<false, true>(frames, count, highpass, bass, treble);
  } else {
    FilterPairs<false, false>(frames, count, highpass, bass, treble);
  }
  Unpair(highpass, highpass_left_, highpass_right_);
  Unpair(bass, bass_left_, bass_right_);
  Unpair(treble, treble_left_, treble_right_);
  static_assert(sizeof(StereoSample) == 2 * sizeof(float));
  LimitSamples(reinterpret_cast<float*>(frames), 2 * count, limiter_);
}

#endif

// Chosen at load time, so the audio thread never meets a first-call guard.
#if defined(__x86_64__) && defined(__GNUC__)
const OutputStage::BlockFn OutputStage::kBlock =
    PickBuild<BlockFn>(BestSplitLevel(), &OutputStage::ProcessFrames, &OutputStage::ProcessPaired,
                       &OutputStage::ProcessPaired);
#else
const OutputStage::BlockFn OutputStage::kBlock = &OutputStage::ProcessFrames;
#endif

void OutputStage::ProcessBlock(StereoSample* frames, size_t count) noexcept {
  (this->*kBlock)(frames, count);
}

HALVEX_FMA_CLONES void OutputStage::ProcessFrames(StereoSample* frames, size_t count) noexcept {
  for (size_t i = 0; i < count; ++i) frames[i] = Step(frames[i]);
}

}  // namespace halvex
