#include "core/dsp/spectral/ambient_split.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

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

// 17-bin box average of src into dst over [first, end), indices clamped into the range. Each
// output is summed in index order from k - 8 to k + 8; eight outputs run side by side.
HALVEX_FMA_CLONES
void BoxAverage(const std::array<float, kFftBins>& src, std::array<float, kFftBins>& dst,
                size_t first, size_t end) {
  const size_t n = end - first;
  // The range with its edge values repeated, so no tap needs a clamp. Every cell the taps read
  // is written first, so it is not cleared.
  std::array<float, kFftBins + 2 * kBoxRadius> padded;
  for (size_t i = 0; i < kBoxRadius; ++i) {
    padded[i] = src[first];
    padded[kBoxRadius + n + i] = src[end - 1];
  }
  for (size_t i = 0; i < n; ++i) padded[kBoxRadius + i] = src[first + i];
  size_t k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    Float8 sum = {};
#pragma GCC unroll 17
    for (size_t j = 0; j < kBoxWidth; ++j) {
      Float8 v;
      Load8(v, padded.data() + k + j);
      sum += v;
    }
    sum /= static_cast<float>(kBoxWidth);
    Store8(dst.data() + first + k, sum);
  }
  for (; k < n; ++k) {
    float sum = 0.0f;
    for (size_t j = 0; j < kBoxWidth; ++j) sum += padded[k + j];
    dst[first + k] = sum / static_cast<float>(kBoxWidth);
  }
}


// Helpers called from the cloned functions are always inlined, so each clone compiles them for
// its own instruction set.


// One bin up to the eigenvalue: smoothing, placement and correlation; leaves P and the
// discriminant D for the ambience pass.
[[gnu::always_inline]] inline void UpdateBin(AmbientSplit& a, const StereoSpectrum& s, size_t k, float* p_out,
                      float* d_out) {
  const float lr = s.left_re[k];
  const float li = s.left_im[k];
  const float rr = s.right_re[k];
  const float ri = s.right_im[k];
  a.power_left[k] += kSmoothing * (lr * lr + li * li - a.power_left[k]);
  a.power_right[k] += kSmoothing * (rr * rr + ri * ri - a.power_right[k]);
  a.cross_re[k] += kSmoothing * (lr * rr + li * ri - a.cross_re[k]);  // Re(L conj R)
  a.cross_im[k] += kSmoothing * (li * rr - lr * ri - a.cross_im[k]);  // Im(L conj R)
  const float pl = a.power_left[k];
  const float pr = a.power_right[k];
  const float p = pl + pr;
  p_out[k] = p;
  if (p < kSilentPower) {
    a.coherence[k] = 0.0f;
    return;
  }
  const float cr = a.cross_re[k];
  const float ci = a.cross_im[k];
  a.coherence[k] = std::clamp(2.0f * cr / p, 0.0f, 1.0f);
  a.balance[k] = std::clamp((pl - pr) / p, -1.0f, 1.0f);
  a.quadrature[k] = std::clamp(-2.0f * ci / p, -1.0f, 1.0f);
  // Covariance [[pl, x], [conj x, pr]] with the cross term discounted.
  const float x = cr * cr + ci * ci;
  const float t = kCrossDiscount * pl * pr;
  const float diff = pl - pr;
  d_out[k] = diff * diff + (x > t ? 4.0f * (x - t) : 0.0f);
}

// UpdateBin for eight bins at once, lane by lane the same operations (selects stand in for the
// branches), so every build gives the same bits.
[[gnu::always_inline]] inline void UpdateEightBins(AmbientSplit& a, const StereoSpectrum& s, size_t k, float* p_out,
                            float* d_out) {
  const Float8 zero = {};
  const Float8 one = zero + 1.0f;
  Float8 lr, li, rr, ri, pl, pr, cr, ci;
  Load8(lr, s.left_re.data() + k);
  Load8(li, s.left_im.data() + k);
  Load8(rr, s.right_re.data() + k);
  Load8(ri, s.right_im.data() + k);
  Load8(pl, a.power_left.data() + k);
  Load8(pr, a.power_right.data() + k);
  Load8(cr, a.cross_re.data() + k);
  Load8(ci, a.cross_im.data() + k);
  pl += kSmoothing * (lr * lr + li * li - pl);
  pr += kSmoothing * (rr * rr + ri * ri - pr);
  cr += kSmoothing * (lr * rr + li * ri - cr);
  ci += kSmoothing * (li * rr - lr * ri - ci);
  Store8(a.power_left.data() + k, pl);
  Store8(a.power_right.data() + k, pr);
  Store8(a.cross_re.data() + k, cr);
  Store8(a.cross_im.data() + k, ci);
  const Float8 p = pl + pr;
  Store8(p_out + k, p);
  const Int8 silent = p < kSilentPower;

  // std::clamp(v, lo, hi) is v < lo ? lo : (hi < v ? hi : v).
  Float8 coherence = 2.0f * cr / p;
  coherence = coherence < zero ? zero : (one < coherence ? one : coherence);
  Float8 balance = (pl - pr) / p;
  balance = balance < -one ? -one : (one < balance ? one : balance);
  Float8 quadrature = -2.0f * ci / p;
  quadrature = quadrature < -one ? -one : (one < quadrature ? one : quadrature);
  Float8 old_balance, old_quadrature;
  Load8(old_balance, a.balance.data() + k);
  Load8(old_quadrature, a.quadrature.data() + k);
  Store8(a.coherence.data() + k, silent ? zero : coherence);
  Store8(a.balance.data() + k, silent ? old_balance : balance);
  Store8(a.quadrature.data() + k, silent ? old_quadrature : quadrature);

  const Float8 x = cr * cr + ci * ci;
  const Float8 t = kCrossDiscount * pl * pr;
  const Float8 diff = pl - pr;
  const Float8 d = diff * diff + (x > t ? 4.0f * (x - t) : zero);
  Store8(d_out + k, silent ? zero : d);
}

// ambience_gated: the 3-bin mean (edge bins count themselves as their missing neighbour) less
// the floor, rescaled to 0..1; eight bins side by side, each with the scalar operations.
HALVEX_FMA_CLONES
void GateAmbience(const std::array<float, kFftBins>& ambience,
                  std::array<float, kFftBins>& gated, size_t first, size_t end) {
  const size_t n = end - first;
  std::array<float, kFftBins + 2 + kLanes> padded{};
  padded[0] = ambience[first];
  for (size_t i = 0; i < n; ++i) padded[1 + i] = ambience[first + i];
  padded[1 + n] = ambience[end - 1];
  const Float8 zero = {};
  const Float8 one = zero + 1.0f;
  size_t k = 0;
  for (; k + kLanes <= n; k += kLanes) {
    Float8 below, centre, above;
    Load8(below, padded.data() + k);
    Load8(centre, padded.data() + k + 1);
    Load8(above, padded.data() + k + 2);
    const Float8 mean = (below + centre + above) / 3.0f;
    const Float8 scaled = (mean - kAmbienceFloor) / 0.95f;
    const Float8 capped = scaled < one ? scaled : one;  // std::min(1, scaled)
    Store8(gated.data() + first + k, mean <= kAmbienceFloor ? zero : capped);
  }
  for (; k < n; ++k) {
    const float mean = (padded[k] + padded[k + 1] + padded[k + 2]) / 3.0f;
    gated[first + k] =
        mean <= kAmbienceFloor ? 0.0f : std::min(1.0f, (mean - kAmbienceFloor) / 0.95f);
  }
}

HALVEX_FMA_CLONES
void UpdateBins(AmbientSplit& a, const StereoSpectrum& s) {
  std::array<float, kFftBins> p{};
  std::array<float, kFftBins> d{};
  size_t k = a.first_bin;
  for (; k + kLanes <= a.end_bin; k += kLanes) UpdateEightBins(a, s, k, p.data(), d.data());
  for (; k < a.end_bin; ++k) UpdateBin(a, s, k, p.data(), d.data());
  // lambda = (P - sqrt(D)) / 2 is the smaller eigenvalue; twice it over P the diffuse share.
  // Eight bins at a time with the scalar operations lane by lane (D is 0 for a silent bin).
  const Float8 zero = {};
  const Float8 one = zero + 1.0f;
  for (k = a.first_bin; k + kLanes <= a.end_bin; k += kLanes) {
    Float8 pk, root;
    Load8(pk, p.data() + k);
    Load8(root, d.data() + k);
    for (size_t i = 0; i < kLanes; ++i) root[i] = std::sqrt(root[i]);
    const Float8 lambda = (pk - root) / 2.0f;
    const Float8 positive = lambda < zero ? zero : lambda;  // std::max(lambda, 0)
    const Float8 share = 2.0f * positive / (pk + 1e-12f);
    const Float8 capped = share < one ? share : one;  // std::min(1, share)
    Store8(a.ambience.data() + k, pk < kSilentPower ? zero : capped);
  }
  for (; k < a.end_bin; ++k) {
    if (p[k] < kSilentPower) {
      a.ambience[k] = 0.0f;
      continue;
    }
    const float lambda = (p[k] - std::sqrt(d[k])) / 2.0f;
    a.ambience[k] = std::min(1.0f, 2.0f * std::max(lambda, 0.0f) / (p[k] + 1e-12f));
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
  UpdateBins(*this, s);
  SmoothAcrossBins();
}

void AmbientSplit::UpdateAmbience(const StereoSpectrum& s) noexcept {
  UpdateBins(*this, s);
  if (first_bin >= end_bin) return;
  GateAmbience(ambience, ambience_gated, first_bin, end_bin);
  BoxAverage(ambience_gated, ambience_smooth, first_bin, end_bin);
}

void AmbientSplit::SmoothAcrossBins() noexcept {
  if (first_bin >= end_bin) return;
  GateAmbience(ambience, ambience_gated, first_bin, end_bin);
  BoxAverage(balance, balance_smooth, first_bin, end_bin);
  BoxAverage(quadrature, quadrature_smooth, first_bin, end_bin);
  BoxAverage(coherence, coherence_smooth, first_bin, end_bin);
  BoxAverage(ambience_gated, ambience_smooth, first_bin, end_bin);
}

}  // namespace halvex
