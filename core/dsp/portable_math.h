// Scalar and vector functions whose results must not depend on the compiler's choice of float
// intrinsics or on the library's choice of algorithm: every build and every CPU gets the same
// bits. The sines are fixed polynomials in plain arithmetic, inline so each caller keeps the
// exact operations in its own clones.
#pragma once

#include <cstddef>

#include "core/dsp/vector_kit.h"

namespace halvex {

// Two-argument arctangent of the values widened to double, rounded to float.
float Atan2(float y, float x);

// sqrt(a * b) in single precision.
float GeometricMean(float a, float b);

// Two sines, because their callers need different precision at different cost: the field's
// delay modulation works in double (its result scales a delay of thousands of frames), the
// spectral stager in float for every bin of every transform. Neither may change its bits.

// sin of a phase in [0, 2pi + a little], from a Taylor series to x^13 in double (the error at
// pi/2 is below 1e-9). D is double or Double4: written once for both, with selects for the
// folding, so the scalar and the block form give the same bits. By reference, so no 256-bit
// vector is passed by value where AVX is not enabled.
template <typename D>
[[gnu::always_inline]] inline void PortableSinOfTurn(const D& phase, D& sine) {
  constexpr double kPi = 3.14159265358979323846;
  const D one = D{} + 1.0;
  D x = phase;
  const auto upper = x > kPi;
  const D sign = upper ? -one : one;
  x = upper ? x - kPi : x;
  x = x > kPi / 2.0 ? kPi - x : x;
  const D x2 = x * x;
  D p = x2 * (1.0 / 6227020800.0) - 1.0 / 39916800.0;
  p = p * x2 + 1.0 / 362880.0;
  p = p * x2 - 1.0 / 5040.0;
  p = p * x2 + 1.0 / 120.0;
  p = p * x2 - 1.0 / 6.0;
  p = p * x2 + 1.0;
  sine = sign * x * p;
}

// PortableSinOfTurn of a float phase, rounded to float.
[[gnu::always_inline]] inline float PortableSin(float phase) {
  double sine;
  PortableSinOfTurn<double>(phase, sine);
  return static_cast<float>(sine);
}

// PortableSin of `count` phases (a multiple of 4), four lanes at a time.
[[gnu::always_inline]] inline void PortableSinBlock(const float* phase, float* out, size_t count) {
  for (size_t i = 0; i < count; i += 4) {
    const Double4 x = {phase[i], phase[i + 1], phase[i + 2], phase[i + 3]};
    Double4 y;
    PortableSinOfTurn<Double4>(x, y);
    for (size_t k = 0; k < 4; ++k) out[i + k] = static_cast<float>(y[k]);
  }
}

// sin x for x in [-pi/2, pi/2] from its Taylor series to x^13 (the first term left out is below
// 7e-10 there), in float arithmetic. F is float or a float vector: written once for both, so
// both give the same bits.
template <typename F>
[[gnu::always_inline]] inline F PortableSinHalfTurn(F x) {
  const F z = x * x;
  const F p =
      -1.0f / 6.0f +
      z * (1.0f / 120.0f +
           z * (-1.0f / 5040.0f +
                z * (1.0f / 362880.0f + z * (-1.0f / 39916800.0f + z * (1.0f / 6227020800.0f)))));
  return x + x * z * p;
}

}  // namespace halvex
