#include "core/dsp/wola.h"

#include <cmath>
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
  for (size_t i = 0; i < kFftSize; ++i) {
    const size_t j = kBitReversed[i];
    if (j > i) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
  }
  // The inverse uses the conjugate twiddles.
  const float sign = inverse ? -1.0f : 1.0f;
  for (size_t span = 2; span <= kFftSize; span *= 2) {
    const size_t half = span / 2;
    const size_t stride = kFftSize / span;
    for (size_t group = 0; group < kFftSize; group += span) {
      for (size_t j = 0; j < half; ++j) {
        const float wr = twiddle_cos[j * stride];
        const float wi = sign * twiddle_sin[j * stride];
        const size_t even = group + j;
        const size_t odd = even + half;
        const float tr = wr * re[odd] - wi * im[odd];
        const float ti = wr * im[odd] + wi * re[odd];
        re[odd] = re[even] - tr;
        im[odd] = im[even] - ti;
        re[even] += tr;
        im[even] += ti;
      }
    }
  }
  if (inverse) {
    constexpr float scale = 1.0f / static_cast<float>(kFftSize);  // exact: a power of two
    for (size_t i = 0; i < kFftSize; ++i) {
      re[i] *= scale;
      im[i] *= scale;
    }
  }
}

void WolaEngine::AnalyseFrame(SpectrumTransform& transform) noexcept {
  // Oldest frame first: input_pos is where the next frame will be written.
  for (size_t n = 0; n < kFftSize; ++n) {
    const size_t i = (input_pos + n) & kInputMask;
    spectrum.left_re[n] = window[n] * input_left[i];
    spectrum.right_re[n] = window[n] * input_right[i];
  }
  spectrum.left_im.fill(0.0f);
  spectrum.right_im.fill(0.0f);
  Fft(spectrum.left_re, spectrum.left_im, false);
  Fft(spectrum.right_re, spectrum.right_im, false);
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
    Fft(spectrum.left_re, spectrum.left_im, true);
    Fft(spectrum.right_re, spectrum.right_im, true);
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
