// A second-order high-pass section with double-precision coefficients and state, for cut-offs so
// low that the poles sit within 1e-3 of z = 1.
#pragma once

#include <cmath>

namespace halvex {

// Transposed direct form II like Biquad, but in double: in single precision such a section
// amplifies each rounding of its state about a thousandfold, so its output moved by up to 1e-3
// for a 1-ulp change of its input. In double the only error left that matters is the final
// rounding to float.
struct WideBiquad {
  double b0 = 1.0;
  double b1 = 0.0;
  double b2 = 0.0;
  double a1 = 0.0;
  double a2 = 0.0;
  double z1 = 0.0;
  double z2 = 0.0;

  // Clears the state.
  void SetButterworthHighpass(double hz);

  void Reset() noexcept {
    z1 = 0.0;
    z2 = 0.0;
  }
  // Inline so callers built for FMA hardware get single instructions.
  float Process(float in) noexcept {
    const double x = in;
    const double y = std::fma(b0, x, z1);
    z1 = std::fma(b1, x, std::fma(-a1, y, z2));
    z2 = std::fma(b2, x, -a2 * y);
    return static_cast<float>(y);
  }
  // Linear magnitude response at hz.
  double MagnitudeAt(double hz) const;
};

}  // namespace halvex
