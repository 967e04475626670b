#include "core/dsp/ambient_split.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace halvex {

namespace {

constexpr float kSmoothing = 0.12f;   // per transform frame
constexpr float kSilentPower = 1e-9f;
// Discount of the cross term (the float nearest 3/47): even identical channels keep a small
// ambience (about 0.032) that the floor below removes, so leakage never reads as direct sound.
constexpr float kCrossDiscount = 0.06382979f;
constexpr float kAmbienceFloor = 0.05f;
constexpr size_t kBoxRadius = 8;  // 17-bin averages
constexpr size_t kBoxWidth = 2 * kBoxRadius + 1;

constexpr size_t kLanes = 8;
using Vec8 = float __attribute__((vector_size(kLanes * sizeof(float))));

// 17-bin box average of src into dst over [first, end), indices clamped into the range. Each
// output is summed in index order from k - 8 to k + 8; eight outputs run side by side.
__attribute__((target_clones("arch=x86-64-v3", "default")))
void BoxAverage(const std::array<float, kFftBins>& src, std::array<float, kFftBins>& dst,
                size_t first, size_t end) {
  const size_t n = end - first;
  // The range with its edge values repeated, so no tap needs a clamp.
  std::array<float, kFftBins + 2 * kBoxRadius + kLanes> padded{};
  for (size_t i = 0; i < kBoxRadius; ++i) {
    padded[i] = src[first];
    padded[kBoxRadius + n + i] = src[end - 1];
  }
  for (size_t i = 0; i < n; ++i) padded[kBoxRadius + i] = src[first + i];
  size_t k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    Vec8 sum = {};
    for (size_t j = 0; j < kBoxWidth; ++j) {
      Vec8 v;
      std::memcpy(&v, padded.data() + k + j, sizeof(v));
      sum += v;
    }
    sum /= static_cast<float>(kBoxWidth);
    std::memcpy(dst.data() + first + k, &sum, sizeof(sum));
  }
  for (; k < n; ++k) {
    float sum = 0.0f;
    for (size_t j = 0; j < kBoxWidth; ++j) sum += padded[k + j];
    dst[first + k] = sum / static_cast<float>(kBoxWidth);
  }
}

}  // namespace

void AmbientSplit::Configure(size_t first, size_t end) {
  first_bin = first;
  end_bin = std::min(end, kFftBins);
  Reset();
}

void AmbientSplit::Reset() {
  for (auto* a : {&power_left, &power_right, &cross_re, &cross_im, &ambience, &ambience_gated,
                  &coherence, &coherence_smooth, &ambience_smooth, &balance, &quadrature,
                  &balance_smooth, &quadrature_smooth}) {
    a->fill(0.0f);
  }
}

void AmbientSplit::Update(const StereoSpectrum& s) noexcept {
  for (size_t k = first_bin; k < end_bin; ++k) {
    const float lr = s.left_re[k];
    const float li = s.left_im[k];
    const float rr = s.right_re[k];
    const float ri = s.right_im[k];
    power_left[k] += kSmoothing * (lr * lr + li * li - power_left[k]);
    power_right[k] += kSmoothing * (rr * rr + ri * ri - power_right[k]);
    cross_re[k] += kSmoothing * (lr * rr + li * ri - cross_re[k]);  // Re(L conj R)
    cross_im[k] += kSmoothing * (li * rr - lr * ri - cross_im[k]);  // Im(L conj R)

    const float pl = power_left[k];
    const float pr = power_right[k];
    const float p = pl + pr;
    if (p < kSilentPower) {
      ambience[k] = 0.0f;
      coherence[k] = 0.0f;
      continue;
    }
    const float cr = cross_re[k];
    const float ci = cross_im[k];
    coherence[k] = std::clamp(2.0f * cr / p, 0.0f, 1.0f);
    balance[k] = std::clamp((pl - pr) / p, -1.0f, 1.0f);
    quadrature[k] = std::clamp(-2.0f * ci / p, -1.0f, 1.0f);
    // Smaller eigenvalue of the channel covariance [[pl, x], [conj x, pr]], cross term discounted.
    const float x = cr * cr + ci * ci;
    const float t = kCrossDiscount * pl * pr;
    const float diff = pl - pr;
    const float d = diff * diff + (x > t ? 4.0f * (x - t) : 0.0f);
    const float lambda = (p - std::sqrt(d)) / 2.0f;
    ambience[k] = std::min(1.0f, 2.0f * std::max(lambda, 0.0f) / (p + 1e-12f));
  }
  SmoothAcrossBins();
}

void AmbientSplit::SmoothAcrossBins() noexcept {
  if (first_bin >= end_bin) return;
  const size_t last = end_bin - 1;
  for (size_t k = first_bin; k < end_bin; ++k) {
    const float below = ambience[k == first_bin ? k : k - 1];
    const float above = ambience[k == last ? k : k + 1];
    const float mean = (below + ambience[k] + above) / 3.0f;
    ambience_gated[k] =
        mean <= kAmbienceFloor ? 0.0f : std::min(1.0f, (mean - kAmbienceFloor) / 0.95f);
  }
  BoxAverage(balance, balance_smooth, first_bin, end_bin);
  BoxAverage(quadrature, quadrature_smooth, first_bin, end_bin);
  BoxAverage(coherence, coherence_smooth, first_bin, end_bin);
  BoxAverage(ambience_gated, ambience_smooth, first_bin, end_bin);
}

}  // namespace halvex
