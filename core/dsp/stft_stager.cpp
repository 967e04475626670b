#include "core/dsp/stft_stager.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/dsp/portable_math.h"

namespace halvex {

namespace {

// Bins 4..340: 187.5 Hz to 15937.5 Hz; below and above, moving sound apart only smears it.
constexpr size_t kFirstBin = 4;
constexpr size_t kEndBin = 341;
constexpr float kSmoothing = 0.3f;  // per transform frame, i.e. per 256 input frames
constexpr float kSilentMagnitude = 1e-6f;
constexpr float kMaxGain = 4.0f;
constexpr float kCentreF = std::numbers::pi_v<float> / 4.0f;
// The centre as the angles store it, so a centred (mono) bin computes gains of exactly 1.
constexpr double kCentre = kCentreF;

}  // namespace

void StftStager::Configure(float expand_amount) {
  expand = expand_amount;
  engine.Configure();
  Reset();
}

void StftStager::Reset() {
  engine.Reset();
  angle.fill(kCentreF);
  power_left.fill(0.0f);
  power_right.fill(0.0f);
  cross_re.fill(0.0f);
  cross_im.fill(0.0f);
  gain_left.fill(1.0f);
  gain_right.fill(1.0f);
}

StereoSample StftStager::Process(float left, float right) noexcept {
  return engine.Process(left, right, *this);
}

void StftStager::Apply(StereoSpectrum& spectrum) { SteerBins(spectrum); }

void StftStager::SteerBin(const StereoSpectrum& s, size_t k) noexcept {
  const float lr = s.left_re[k];
  const float li = s.left_im[k];
  const float rr = s.right_re[k];
  const float ri = s.right_im[k];
  const float mag_left = std::sqrt(lr * lr + li * li);
  const float mag_right = std::sqrt(rr * rr + ri * ri);
  if (mag_left + mag_right > kSilentMagnitude) {
    const float theta = Atan2(mag_right, mag_left + 1e-12f);
    angle[k] += kSmoothing * (theta - angle[k]);
  }
  // L * conj(R)
  const float xr = lr * rr + li * ri;
  const float xi = li * rr - lr * ri;
  power_left[k] += kSmoothing * (lr * lr + li * li - power_left[k]);
  power_right[k] += kSmoothing * (rr * rr + ri * ri - power_right[k]);
  cross_re[k] += kSmoothing * (xr - cross_re[k]);
  cross_im[k] += kSmoothing * (xi - cross_im[k]);

  // The gains are ratios near 1: in double, so an unmoved bin keeps a gain of exactly 1.0f.
  const double cr = cross_re[k];
  const double ci = cross_im[k];
  const double pl = power_left[k];
  const double pr = power_right[k];
  const double c = std::clamp(std::sqrt(cr * cr + ci * ci) / (std::sqrt(pl * pr) + 1e-12), 0.0, 1.0);
  const double a = angle[k];
  double phi = kCentre + (a - kCentre) * (1.0 + 2.0 * static_cast<double>(expand) * c * c);
  phi = std::clamp(phi, 0.0, std::numbers::pi / 2.0);
  gain_left[k] = static_cast<float>(std::clamp(std::cos(phi) / (std::cos(a) + 1e-12), 0.0,
                                               static_cast<double>(kMaxGain)));
  gain_right[k] = static_cast<float>(std::clamp(std::sin(phi) / (std::sin(a) + 1e-12), 0.0,
                                                static_cast<double>(kMaxGain)));
}

void StftStager::SteerBins(StereoSpectrum& s) noexcept {
  for (size_t k = kFirstBin; k < kEndBin; ++k) SteerBin(s, k);

  // Average the raw gains over three bins; the neighbours outside the range count as 1.
  auto raw = [](const std::array<float, kFftBins>& g, size_t k) {
    return (k < kFirstBin || k >= kEndBin) ? 1.0f : g[k];
  };
  for (size_t k = kFirstBin; k < kEndBin; ++k) {
    const float fl = (raw(gain_left, k - 1) + raw(gain_left, k) + raw(gain_left, k + 1)) / 3.0f;
    const float fr = (raw(gain_right, k - 1) + raw(gain_right, k) + raw(gain_right, k + 1)) / 3.0f;
    const size_t m = kFftSize - k;  // mirror bin: scaling by a real factor keeps the conjugate
    s.left_re[k] *= fl;
    s.left_im[k] *= fl;
    s.left_re[m] *= fl;
    s.left_im[m] *= fl;
    s.right_re[k] *= fr;
    s.right_im[k] *= fr;
    s.right_re[m] *= fr;
    s.right_im[m] *= fr;
  }
}

}  // namespace halvex
