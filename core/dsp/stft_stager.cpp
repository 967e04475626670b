#include "core/dsp/stft_stager.h"

#include <algorithm>
#include <cmath>
#include <numbers>


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
constexpr float kHalfPiF = std::numbers::pi_v<float> / 2.0f;

// sin x for x in [-pi/2, pi/2] from its Taylor series to x^13 (the first term left out is
// below 7e-10 there). Plain float arithmetic, no library call: these run for every bin of
// every transform, and the result must not depend on the library's choice of algorithm.
float SinHalfTurn(float x) {
  const float z = x * x;
  const float p =
      -1.0f / 6.0f +
      z * (1.0f / 120.0f +
           z * (-1.0f / 5040.0f +
                z * (1.0f / 362880.0f + z * (-1.0f / 39916800.0f + z * (1.0f / 6227020800.0f)))));
  return x + x * z * p;
}

// The angle of (x, y) for x, y >= 0 and x > 0, in [0, pi/2]: the octant below the diagonal
// is folded onto [0, pi/4], and [tan(pi/8), 1] onto [-tan(pi/8), 0] by the difference formula,
// where a short odd polynomial (the classic single-precision arctangent fit) is good to an
// ulp or two. Equal arguments give exactly the float centre.
float AngleOf(float y, float x) {
  const bool steep = y > x;
  const float t = steep ? x / y : y / x;
  const bool upper = t > 0.41421356f;
  const float r = upper ? (t - 1.0f) / (t + 1.0f) : t;
  const float z = r * r;
  float a = (((8.05374449538e-2f * z - 1.38776856032e-1f) * z + 1.99777106478e-1f) * z -
             3.33329491539e-1f) *
                z * r +
            r;
  if (upper) a = kCentreF + a;
  return steep ? kHalfPiF - a : a;
}

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
    const float theta = AngleOf(mag_right, mag_left + 1e-12f);
    angle[k] += kSmoothing * (theta - angle[k]);
  }
  // L * conj(R)
  const float xr = lr * rr + li * ri;
  const float xi = li * rr - lr * ri;
  power_left[k] += kSmoothing * (lr * lr + li * li - power_left[k]);
  power_right[k] += kSmoothing * (rr * rr + ri * ri - power_right[k]);
  cross_re[k] += kSmoothing * (xr - cross_re[k]);
  cross_im[k] += kSmoothing * (xi - cross_im[k]);

  // The new angle in double: an unmoved bin gets back exactly its old angle, so its gains
  // below divide equal numbers and are exactly 1. The cosines are sines of the complement
  // taken in double, so both keep their relative accuracy near the ends of the quadrant.
  const double cr = cross_re[k];
  const double ci = cross_im[k];
  const double pl = power_left[k];
  const double pr = power_right[k];
  const double c = std::clamp(std::sqrt(cr * cr + ci * ci) / (std::sqrt(pl * pr) + 1e-12), 0.0, 1.0);
  const double a = angle[k];
  double phi = kCentre + (a - kCentre) * (1.0 + 2.0 * static_cast<double>(expand) * c * c);
  phi = std::clamp(phi, 0.0, std::numbers::pi / 2.0);
  constexpr double kHalfPi = std::numbers::pi / 2.0;
  const float cos_phi = SinHalfTurn(static_cast<float>(kHalfPi - phi));
  const float sin_phi = SinHalfTurn(static_cast<float>(phi));
  const float cos_a = SinHalfTurn(static_cast<float>(kHalfPi - a));
  const float sin_a = SinHalfTurn(static_cast<float>(a));
  gain_left[k] = std::clamp(cos_phi / (cos_a + 1e-12f), 0.0f, kMaxGain);
  gain_right[k] = std::clamp(sin_phi / (sin_a + 1e-12f), 0.0f, kMaxGain);
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
