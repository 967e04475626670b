#include "core/dsp/ambient_render.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/portable_math.h"

namespace halvex {
namespace {

constexpr float kHalfPi = 1.5707964f;
constexpr float kInvSqrt026 = 1.9611614f;  // makes each angle pattern's mean square 1
constexpr double kBandFloor = 1e-20;
constexpr float kBalanceSmoothing = 0.25f;
// Below this share of the log-frequency range a bin takes band 0's correction alone.
constexpr float kFirstBandOnly = 0.0625f;

float ClampAngle(float a) { return std::clamp(a, -kHalfPi, kHalfPi); }

// The fixed spectral tilt, in dB, at frequency f: a lift around 700 Hz, dips around 4.5 and
// 9 kHz.
float TiltDb(float f) {
  const float a = std::log2(f * (1.0f / 700.0f));
  const float b = std::log2(f * (1.0f / 9000.0f)) / 0.5f;
  const float c = std::log2(f * (1.0f / 4500.0f)) * 1.1111112f;
  return 1.0f * std::exp(-0.5f * a * a) - 1.5f * std::exp(-0.5f * b * b) -
         2.5f * std::exp(-0.5f * c * c);
}

// (1 + tanh(y)) / 2 as the logistic function 1 / (1 + e^(-2y)): the same value, for one
// exponential instead of tanh's costlier expm1 path; this runs twice per bin.
float HalfOnePlusTanh(float y) { return 1.0f / (1.0f + std::exp(-2.0f * y)); }

}  // namespace

void AmbientRenderer::Configure(float spread, float depth, float direct, RenderTarget target) {
  const AmbientProfile& profile = target == RenderTarget::kHeadphones ? kHeadphones : kSpeakers;
  first_bin_ = profile.first_bin;
  end_bin_ = kRenderEndBin;
  depth_ = depth;

  std::array<float, kFftBins> tilt{};
  for (size_t i = 0; i < kFftBins; ++i) {
    const float x = static_cast<float>(i);
    const float a =
        (0.6f * std::sin(0.48332196f * x) + 0.4f * std::sin(0.330694f * x + 1.7f)) * kInvSqrt026;
    const float b =
        (0.6f * std::sin(0.16981582f * x + 0.9f) + 0.4f * std::sin(0.11855067f * x + 2.4f)) *
        kInvSqrt026;
    rotation_angle_[i] = ClampAngle(profile.rotation_scale * spread * a);
    ambient_phase_[i] = ClampAngle(profile.phase_scale * spread * b);
    direct_phase_[i] = ClampAngle(profile.phase_scale * direct * b);
    const float f = static_cast<float>(i + 1) * kBinHz;
    tilt[i] = std::pow(10.0f, TiltDb(f) / 20.0f);
  }
  // Normalise the tilt to unit mean power over the rendered bins.
  size_t count = 0;
  double power = 0.0;
  for (size_t i = first_bin_; i < end_bin_; ++i) {
    ++count;
    power += static_cast<double>(tilt[i]) * static_cast<double>(tilt[i]);
  }
  const float r = count == 0 ? 1.0f : static_cast<float>(std::sqrt(count / power));
  for (size_t i = 0; i < kFftBins; ++i) {
    depth_eq_[i] = 1.0f + (r * tilt[i] - 1.0f) * spread * profile.eq_depth;
  }

  // Band layout: eight logarithmically spaced bands from first_bin to bin 340.
  band_begin_.fill(end_bin_);
  lerp_lower_.fill(0);
  lerp_upper_.fill(0);
  lerp_t_.fill(0.0f);
  const float first = static_cast<float>(first_bin_);
  const float span = std::log2(static_cast<float>(end_bin_) / first);
  for (size_t k = first_bin_; k < end_bin_; ++k) {
    const float octave = std::log2(static_cast<float>(k) / first);
    const float band = std::floor(octave * static_cast<float>(kBalanceBands) / span);
    const size_t j = static_cast<size_t>(std::min(band, static_cast<float>(kBalanceBands - 1)));
    // The band index never falls as k rises: record where each band starts.
    for (size_t i = 0; i <= j; ++i) band_begin_[i] = std::min(band_begin_[i], k);
    const float u = octave / span;
    if (u < kFirstBandOnly) continue;  // band 0 alone
    const float p = std::min(8.0f * u - 0.5f, static_cast<float>(kBalanceBands - 1));
    const float j0 = std::floor(p);
    const size_t lower = static_cast<size_t>(j0);
    lerp_lower_[k] = static_cast<uint8_t>(lower);
    lerp_upper_[k] = static_cast<uint8_t>(std::min(lower + 1, kBalanceBands - 1));
    lerp_t_[k] = p - j0;
  }
  Reset();
}

void AmbientRenderer::Reset() {
  band_gain_left_.fill(1.0f);
  band_gain_right_.fill(1.0f);
  band_phase_.fill(0.0f);
}

void AmbientRenderer::Render(StereoSpectrum& spectrum, const AmbientSplit& split) noexcept {
  // Only the band sums of the input are needed afterwards, not a copy of it.
  const BandSums before = SumBands(spectrum);
  for (size_t k = first_bin_; k < end_bin_; ++k) {
    RenderOneBin(spectrum, k, split);
  }
  UpdateBalance(before, SumBands(spectrum));
  ApplyBalance(spectrum);
}

void AmbientRenderer::RenderOneBin(StereoSpectrum& s, size_t k,
                                   const AmbientSplit& split) const noexcept {
  const float coherence = split.coherence_smooth[k];
  const float ambience = split.ambience_smooth[k];
  const float balance = split.balance_smooth[k];
  const float quadrature = split.quadrature_smooth[k];

  // Weakly coherent bins count fully as ambience; coherent ones less.
  const float x = std::sqrt(ambience) * (coherence < 0.5f ? 2.0f * coherence : 1.0f);
  const float rot = rotation_angle_[k];
  const float amb = ambient_phase_[k];
  // The rotation and phase lean away from where the bin already sits: each angle is scaled by
  // (1 + tanh(y)) / 2. Where the weight or the angle is 0 the product is a signed zero
  // whatever that factor is, so it is not computed there.
  const bool rotates = x != 0.0f && rot != 0.0f;
  const bool spreads = x != 0.0f && amb != 0.0f;
  const float lean1 = rotates ? HalfOnePlusTanh(1.5f * rot * balance) : 0.5f;
  const float lean2 = spreads ? HalfOnePlusTanh(-1.5f * amb * quadrature) : 0.5f;
  const float theta1 = x * rot * lean1;
  const float theta2 = x * amb * lean2 + (1.0f - x) * direct_phase_[k];
  const float g = (1.0f + (depth_eq_[k] - 1.0f) * ambience) * std::pow(depth_, ambience - 0.5f);

  // cos(+-0) = 1 and sin(+-0) = +-0 exactly.
  const float c1 = rotates ? std::cos(theta1) : 1.0f;
  const float s1 = rotates ? std::sin(theta1) : theta1;
  const float c2 = std::cos(theta2);
  const float s2 = std::sin(theta2);
  const float lr = s.left_re[k];
  const float li = s.left_im[k];
  const float rr = s.right_re[k];
  const float ri = s.right_im[k];
  // Rotated pair, scaled.
  const float ar = g * (lr * c1 + rr * s1);
  const float ai = g * (li * c1 + ri * s1);
  const float br = g * (rr * c1 - lr * s1);
  const float bi = g * (ri * c1 - li * s1);
  // Left by e^(+i theta2), right by e^(-i theta2).
  const float out_lr = ar * c2 - ai * s2;
  const float out_li = ar * s2 + ai * c2;
  const float out_rr = br * c2 + bi * s2;
  const float out_ri = bi * c2 - br * s2;
  const size_t m = kFftSize - k;
  s.left_re[k] = out_lr;
  s.left_im[k] = out_li;
  s.right_re[k] = out_rr;
  s.right_im[k] = out_ri;
  s.left_re[m] = out_lr;
  s.left_im[m] = -out_li;
  s.right_re[m] = out_rr;
  s.right_im[m] = -out_ri;
}

AmbientRenderer::BandSums AmbientRenderer::SumBands(const StereoSpectrum& s) const noexcept {
  BandSums sums{};
  // A band's bins are contiguous, so each band sums in registers.
  for (size_t j = 0; j < kBalanceBands; ++j) {
    double left = 0.0;
    double right = 0.0;
    double cross_re = 0.0;
    double cross_im = 0.0;
    for (size_t k = band_begin_[j]; k < band_begin_[j + 1]; ++k) {
      const double lr = s.left_re[k];
      const double li = s.left_im[k];
      const double rr = s.right_re[k];
      const double ri = s.right_im[k];
      left += lr * lr + li * li;
      right += rr * rr + ri * ri;
      // L conj(R)
      cross_re += lr * rr + li * ri;
      cross_im += li * rr - lr * ri;
    }
    sums.left[j] = left;
    sums.right[j] = right;
    sums.cross_re[j] = cross_re;
    sums.cross_im[j] = cross_im;
  }
  return sums;
}

void AmbientRenderer::UpdateBalance(const StereoSpectrum& before,
                                    const StereoSpectrum& after) noexcept {
  UpdateBalance(SumBands(before), SumBands(after));
}

void AmbientRenderer::UpdateBalance(const BandSums& in, const BandSums& out) noexcept {
  for (size_t j = 0; j < kBalanceBands; ++j) {
    const double e_in = in.left[j] + in.right[j];
    const double e_out = out.left[j] + out.right[j];
    if (e_in < kBandFloor || e_out < kBandFloor) continue;
    const double e_left = (in.left[j] / e_in) * e_out / (out.left[j] + kBandFloor);
    const double e_right = (in.right[j] / e_in) * e_out / (out.right[j] + kBandFloor);
    const auto target = [](double e) {
      return e < 0.25 ? 0.5f : static_cast<float>(std::min(std::sqrt(e), 2.0));
    };
    band_gain_left_[j] += kBalanceSmoothing * (target(e_left) - band_gain_left_[j]);
    band_gain_right_[j] += kBalanceSmoothing * (target(e_right) - band_gain_right_[j]);
    const float angle_out =
        Atan2(static_cast<float>(out.cross_im[j]), static_cast<float>(out.cross_re[j]));
    const float angle_in =
        Atan2(static_cast<float>(in.cross_im[j]), static_cast<float>(in.cross_re[j]));
    const float delta = angle_out - angle_in;
    const float wrapped = Atan2(std::sin(delta), std::cos(delta));
    band_phase_[j] += kBalanceSmoothing * (-0.5f * wrapped - band_phase_[j]);
  }
}

void AmbientRenderer::ApplyBalance(StereoSpectrum& s) const noexcept {
  for (size_t k = first_bin_; k < end_bin_; ++k) {
    const size_t j0 = lerp_lower_[k];
    const size_t j1 = lerp_upper_[k];
    const float t = lerp_t_[k];
    const float gl = band_gain_left_[j0] + (band_gain_left_[j1] - band_gain_left_[j0]) * t;
    const float gr = band_gain_right_[j0] + (band_gain_right_[j1] - band_gain_right_[j0]) * t;
    const float phi = band_phase_[j0] + (band_phase_[j1] - band_phase_[j0]) * t;
    const float c = std::cos(phi);
    const float sn = std::sin(phi);
    const float lr = gl * s.left_re[k];
    const float li = gl * s.left_im[k];
    const float rr = gr * s.right_re[k];
    const float ri = gr * s.right_im[k];
    const float out_lr = lr * c - li * sn;
    const float out_li = lr * sn + li * c;
    const float out_rr = rr * c + ri * sn;
    const float out_ri = ri * c - rr * sn;
    const size_t m = kFftSize - k;
    s.left_re[k] = out_lr;
    s.left_im[k] = out_li;
    s.right_re[k] = out_rr;
    s.right_im[k] = out_ri;
    s.left_re[m] = out_lr;
    s.left_im[m] = -out_li;
    s.right_re[m] = out_rr;
    s.right_im[m] = -out_ri;
  }
}

}  // namespace halvex
