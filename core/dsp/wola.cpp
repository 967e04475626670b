#include "core/dsp/wola.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

namespace halvex {

namespace {

constexpr size_t kFftBits = 10;
static_assert(size_t{1} << kFftBits == kFftSize);
constexpr size_t kInputMask = kFftSize - 1;
constexpr size_t kOutputMask = 2 * kFftSize - 1;

constexpr std::array<uint16_t, kFftSize> MakeBitReversal() {
  std::array<uint16_t, kFftSize> table{};
  for (size_t i = 0; i < kFftSize; ++i) {
    size_t r = 0;
    for (size_t b = 0; b < kFftBits; ++b) r |= ((i >> b) & 1u) << (kFftBits - 1 - b);
    table[i] = static_cast<uint16_t>(r);
  }
  return table;
}

// Input index -> position after the decimation-in-time permutation.
constexpr std::array<uint16_t, kFftSize> kBitReversed = MakeBitReversal();

// The permutation as a list of swaps (i < j), so applying it needs no test per index.
constexpr size_t kSwapCount = (kFftSize - (size_t{1} << (kFftBits / 2))) / 2;
constexpr std::array<std::array<uint16_t, 2>, kSwapCount> MakeSwaps() {
  std::array<std::array<uint16_t, 2>, kSwapCount> swaps{};
  size_t n = 0;
  for (size_t i = 0; i < kFftSize; ++i) {
    if (kBitReversed[i] > i) swaps[n++] = {static_cast<uint16_t>(i), kBitReversed[i]};
  }
  return swaps;
}
constexpr auto kSwaps = MakeSwaps();

constexpr size_t kLanes = 8;
using Vec8 = float __attribute__((vector_size(kLanes * sizeof(float))));

// The helpers below are always inlined, so each clone of the transform compiles them for its
// own instruction set.

// Shuffles for a pass whose groups are narrower than a vector (butterflies `kHalf` apart):
// Gather picks the eight even and eight odd inputs out of 16 consecutive elements (lo, hi),
// Scatter puts the results back in place.
template <size_t kHalf>
struct SmallSpan;
template <>
struct SmallSpan<1> {
  [[gnu::always_inline]] static void Gather(const Vec8& lo, const Vec8& hi, Vec8& even, Vec8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
    odd = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Vec8& even, const Vec8& odd, Vec8& lo, Vec8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 8, 1, 9, 2, 10, 3, 11);
    hi = __builtin_shufflevector(even, odd, 4, 12, 5, 13, 6, 14, 7, 15);
  }
};
template <>
struct SmallSpan<2> {
  [[gnu::always_inline]] static void Gather(const Vec8& lo, const Vec8& hi, Vec8& even, Vec8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 1, 4, 5, 8, 9, 12, 13);
    odd = __builtin_shufflevector(lo, hi, 2, 3, 6, 7, 10, 11, 14, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Vec8& even, const Vec8& odd, Vec8& lo, Vec8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 1, 8, 9, 2, 3, 10, 11);
    hi = __builtin_shufflevector(even, odd, 4, 5, 12, 13, 6, 7, 14, 15);
  }
};
template <>
struct SmallSpan<4> {
  [[gnu::always_inline]] static void Gather(const Vec8& lo, const Vec8& hi, Vec8& even, Vec8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 8, 9, 10, 11);
    odd = __builtin_shufflevector(lo, hi, 4, 5, 6, 7, 12, 13, 14, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Vec8& even, const Vec8& odd, Vec8& lo, Vec8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 1, 2, 3, 8, 9, 10, 11);
    hi = __builtin_shufflevector(even, odd, 4, 5, 6, 7, 12, 13, 14, 15);
  }
};

// Runs eight butterflies gathered from 16 elements, lane by lane as the wide passes do.
template <size_t kHalf>
[[gnu::always_inline]] inline void SmallSpanPass(float* r, float* q, const float* wr, const float* wi) {
  using S = SmallSpan<kHalf>;
  Vec8 vwr, vwi;
  for (size_t i = 0; i < kLanes; ++i) {
    vwr[i] = wr[i % kHalf];
    vwi[i] = wi[i % kHalf];
  }
  for (size_t base = 0; base < kFftSize; base += 2 * kLanes) {
    Vec8 r0, r1, q0, q1;
    std::memcpy(&r0, r + base, sizeof(Vec8));
    std::memcpy(&r1, r + base + kLanes, sizeof(Vec8));
    std::memcpy(&q0, q + base, sizeof(Vec8));
    std::memcpy(&q1, q + base + kLanes, sizeof(Vec8));
    Vec8 er, orr, ei, oi;
    S::Gather(r0, r1, er, orr);
    S::Gather(q0, q1, ei, oi);
    const Vec8 tr = vwr * orr - vwi * oi;
    const Vec8 ti = vwr * oi + vwi * orr;
    const Vec8 new_er = er + tr;
    const Vec8 new_ei = ei + ti;
    const Vec8 new_or = er - tr;
    const Vec8 new_oi = ei - ti;
    S::Scatter(new_er, new_or, r0, r1);
    S::Scatter(new_ei, new_oi, q0, q1);
    std::memcpy(r + base, &r0, sizeof(Vec8));
    std::memcpy(r + base + kLanes, &r1, sizeof(Vec8));
    std::memcpy(q + base, &q0, sizeof(Vec8));
    std::memcpy(q + base + kLanes, &q1, sizeof(Vec8));
  }
}

// One pass with groups of at least 16: eight butterflies per step. The inverse's conjugate
// twiddle (c, -s) is folded into the signs: wr*xr - (-s)*xi is exactly wr*xr + s*xi.
template <bool kInverse>
[[gnu::always_inline]] inline void WidePass(float* r, float* q, size_t span, const float* wc, const float* ws) {
  const size_t half = span / 2;
  for (size_t group = 0; group < kFftSize; group += span) {
    for (size_t j = 0; j < half; j += kLanes) {
      const size_t even = group + j;
      const size_t odd = even + half;
      Vec8 vwr, vws, er, ei, orr, oi;
      std::memcpy(&vwr, wc + j, sizeof(Vec8));
      std::memcpy(&vws, ws + j, sizeof(Vec8));
      std::memcpy(&er, r + even, sizeof(Vec8));
      std::memcpy(&ei, q + even, sizeof(Vec8));
      std::memcpy(&orr, r + odd, sizeof(Vec8));
      std::memcpy(&oi, q + odd, sizeof(Vec8));
      Vec8 tr, ti;
      if constexpr (kInverse) {
        tr = vwr * orr + vws * oi;
        ti = vwr * oi - vws * orr;
      } else {
        tr = vwr * orr - vws * oi;
        ti = vwr * oi + vws * orr;
      }
      const Vec8 new_or = er - tr;
      const Vec8 new_oi = ei - ti;
      const Vec8 new_er = er + tr;
      const Vec8 new_ei = ei + ti;
      std::memcpy(r + odd, &new_or, sizeof(Vec8));
      std::memcpy(q + odd, &new_oi, sizeof(Vec8));
      std::memcpy(r + even, &new_er, sizeof(Vec8));
      std::memcpy(q + even, &new_ei, sizeof(Vec8));
    }
  }
}

[[gnu::always_inline]] inline void Swap(float& a, float& b) {
  const float t = a;
  a = b;
  b = t;
}

// Radix-2 decimation in time over `channels` channels at once (they share the twiddles; each
// channel sees exactly the operations a lone transform would); `permuted` says the input is
// already in bit-reversed order. Every butterfly computes
// t = w * x[odd] as (wr*xr - wi*xi, wr*xi + wi*xr), then x[odd] = x[even] - t, x[even] += t;
// every pass runs eight butterflies per step (narrow groups gathered by shuffles), the same
// arithmetic lane by lane as one butterfly at a time.
__attribute__((target_clones("arch=x86-64-v3", "default")))
void Transform(float* const* re, float* const* im, size_t channels, const float* twiddle_cos,
               const float* twiddle_sin, bool inverse, bool permuted) {
  for (size_t c = 0; c < channels && !permuted; ++c) {
    float* r = re[c];
    float* q = im[c];
    for (const auto& [i, j] : kSwaps) {
      Swap(r[i], r[j]);
      Swap(q[i], q[j]);
    }
  }
  // The inverse uses the conjugate twiddles.
  const float sign = inverse ? -1.0f : 1.0f;
  for (size_t half = 1; half < kLanes; half *= 2) {
    float wr[kLanes / 2];
    float wi[kLanes / 2];
    for (size_t j = 0; j < half; ++j) {
      wr[j] = twiddle_cos[j * (kFftSize / (2 * half))];
      wi[j] = sign * twiddle_sin[j * (kFftSize / (2 * half))];
    }
    for (size_t c = 0; c < channels; ++c) {
      if (half == 1) SmallSpanPass<1>(re[c], im[c], wr, wi);
      if (half == 2) SmallSpanPass<2>(re[c], im[c], wr, wi);
      if (half == 4) SmallSpanPass<4>(re[c], im[c], wr, wi);
    }
  }
  alignas(32) float wr[kFftSize / 2];
  alignas(32) float ws[kFftSize / 2];
  for (size_t span = 2 * kLanes; span <= kFftSize; span *= 2) {
    const size_t half = span / 2;
    const size_t stride = kFftSize / span;
    const float* pass_cos = twiddle_cos;
    const float* pass_sin = twiddle_sin;
    if (stride > 1) {
      for (size_t j = 0; j < half; ++j) {
        wr[j] = twiddle_cos[j * stride];
        ws[j] = twiddle_sin[j * stride];
      }
      pass_cos = wr;
      pass_sin = ws;
    }
    for (size_t c = 0; c < channels; ++c) {
      if (inverse) {
        WidePass<true>(re[c], im[c], span, pass_cos, pass_sin);
      } else {
        WidePass<false>(re[c], im[c], span, pass_cos, pass_sin);
      }
    }
  }
  if (inverse) {
    constexpr float scale = 1.0f / static_cast<float>(kFftSize);  // exact: a power of two
    for (size_t c = 0; c < channels; ++c) {
      for (size_t i = 0; i < kFftSize; ++i) {
        re[c][i] *= scale;
        im[c][i] *= scale;
      }
    }
  }
}

}  // namespace

void WolaEngine::Configure() {
  constexpr double pi = std::numbers::pi;
  for (size_t n = 0; n < kFftSize; ++n) {
    const double phase = 2.0 * pi * static_cast<double>(n) / static_cast<double>(kFftSize);
    window[n] = static_cast<float>(std::sqrt(0.5 - 0.5 * std::cos(phase)));
  }
  for (size_t k = 0; k < twiddle_cos.size(); ++k) {
    const double phase = -2.0 * pi * static_cast<double>(k) / static_cast<double>(kFftSize);
    twiddle_cos[k] = static_cast<float>(std::cos(phase));
    twiddle_sin[k] = static_cast<float>(std::sin(phase));
  }
  Reset();
}

void WolaEngine::Reset() {
  input_left.fill(0.0f);
  input_right.fill(0.0f);
  output_left.fill(0.0f);
  output_right.fill(0.0f);
  input_pos = 0;
  output_pos = 0;
  hop_count = 0;
}

void WolaEngine::Fft(std::array<float, kFftSize>& re, std::array<float, kFftSize>& im,
                     bool inverse) const noexcept {
  float* re_ptr[1] = {re.data()};
  float* im_ptr[1] = {im.data()};
  Transform(re_ptr, im_ptr, 1, twiddle_cos.data(), twiddle_sin.data(), inverse, false);
}

void WolaEngine::AnalyseFrame(SpectrumTransform& transform) noexcept {
  // Oldest frame first: input_pos is where the next frame will be written. Each windowed
  // sample goes straight to its bit-reversed place, which saves the transform's own permutation.
  for (size_t n = 0; n < kFftSize; ++n) {
    const size_t i = (input_pos + n) & kInputMask;
    spectrum.left_re[kBitReversed[n]] = window[n] * input_left[i];
    spectrum.right_re[kBitReversed[n]] = window[n] * input_right[i];
  }
  spectrum.left_im.fill(0.0f);
  spectrum.right_im.fill(0.0f);
  float* re[2] = {spectrum.left_re.data(), spectrum.right_re.data()};
  float* im[2] = {spectrum.left_im.data(), spectrum.right_im.data()};
  Transform(re, im, 2, twiddle_cos.data(), twiddle_sin.data(), false, true);
  transform.Apply(spectrum);
}

StereoSample WolaEngine::Process(float left, float right, SpectrumTransform& transform) noexcept {
  input_left[input_pos] = left;
  input_right[input_pos] = right;
  input_pos = (input_pos + 1) & kInputMask;

  const StereoSample out{output_left[output_pos], output_right[output_pos]};
  output_left[output_pos] = 0.0f;
  output_right[output_pos] = 0.0f;
  output_pos = (output_pos + 1) & kOutputMask;

  if (hop_count == kWolaHop - 1) {
    hop_count = 0;
    AnalyseFrame(transform);
    float* re[2] = {spectrum.left_re.data(), spectrum.right_re.data()};
    float* im[2] = {spectrum.left_im.data(), spectrum.right_im.data()};
    Transform(re, im, 2, twiddle_cos.data(), twiddle_sin.data(), true, false);
    // Square-root Hann on both sides at a quarter-frame hop overlaps to 2; the 0.5 undoes it.
    for (size_t n = 0; n < kFftSize; ++n) {
      const size_t i = (output_pos + n) & kOutputMask;
      const float w = 0.5f * window[n];
      output_left[i] += w * spectrum.left_re[n];
      output_right[i] += w * spectrum.right_re[n];
    }
  } else {
    ++hop_count;
  }
  return out;
}

void WolaEngine::Analyse(float left, float right, SpectrumTransform& transform) noexcept {
  input_left[input_pos] = left;
  input_right[input_pos] = right;
  input_pos = (input_pos + 1) & kInputMask;
  if (hop_count == kWolaHop - 1) {
    hop_count = 0;
    AnalyseFrame(transform);
  } else {
    ++hop_count;
  }
}

}  // namespace halvex
