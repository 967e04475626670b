#include "core/dsp/filters/fir_design.h"

#include <cmath>
#include <numbers>

namespace halvex {

namespace {

constexpr double kNyquistHz = 24000.0;

}  // namespace

FirCoeffs WindowedSincLowpass(float cutoff_hz, size_t taps) {
  FirCoeffs h{};
  if (taps == 0) return h;
  if (taps > kFirMaxTaps) taps = kFirMaxTaps;
  if (!(cutoff_hz > 0.0f)) return h;  // also NaN
  if (taps == 1) {
    // No room for a window; normalised to unity at DC a single tap is 1.
    h[0] = 1.0f;
    return h;
  }
  const size_t centre = (taps - 1) / 2;
  if (cutoff_hz >= kNyquistHz) {
    h[centre] = 1.0f;
    return h;
  }

  constexpr double pi = std::numbers::pi;
  const double span = static_cast<double>(taps - 1);
  const double f = cutoff_hz / kNyquistHz;
  double sum = 0.0;
  for (size_t i = 0; i < taps; ++i) {
    const double w = 0.42 - 0.5 * std::cos(2.0 * pi * static_cast<double>(i) / span) +
                     0.08 * std::cos(4.0 * pi * static_cast<double>(i) / span);
    const double u = (static_cast<double>(i) - static_cast<double>(centre)) * f;
    const double raw = (u == 0.0) ? w * f : w * f * std::sin(pi * u) / (pi * u);
    h[i] = static_cast<float>(raw);
    sum += raw;
  }
  // Unity gain at DC.
  const double scale = 1.0 / sum;
  for (size_t i = 0; i < taps; ++i) h[i] = static_cast<float>(static_cast<double>(h[i]) * scale);
  return h;
}

}  // namespace halvex
