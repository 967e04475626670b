#include "core/dsp/filters/wide_biquad.h"

#include <complex>
#include <numbers>

#include "core/dsp/kit/engine_rate.h"

namespace halvex {

void WideBiquad::SetButterworthHighpass(double hz) {
  const double w0 = 2.0 * std::numbers::pi * hz / kEngineRateD;
  const double c = std::cos(w0);
  const double alpha = std::sin(w0) / std::numbers::sqrt2;
  const double a0 = 1.0 + alpha;
  b0 = (1.0 + c) / 2.0 / a0;
  b1 = -(1.0 + c) / a0;
  b2 = b0;
  a1 = -2.0 * c / a0;
  a2 = (1.0 - alpha) / a0;
  Reset();
}

double WideBiquad::MagnitudeAt(double hz) const {
  const double w = 2.0 * std::numbers::pi * hz / kEngineRateD;
  const std::complex<double> z1 = std::polar(1.0, -w);
  const std::complex<double> z2 = std::polar(1.0, -2.0 * w);
  const double den = std::abs(1.0 + a1 * z1 + a2 * z2);
  if (!(den > 0.0)) return 0.0;
  return std::abs(b0 + b1 * z1 + b2 * z2) / den;
}

}  // namespace halvex
