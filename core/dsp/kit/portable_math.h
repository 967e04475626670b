// Scalar and vector functions whose results must not depend on the compiler's choice of float
// intrinsics or on the library's choice of algorithm: every build and every CPU gets the same
// bits. The sines are fixed polynomials in plain arithmetic, inline so each caller keeps the
// exact operations in its own clones.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/dsp/kit/vector_kit.h"

namespace halvex {

// Two-argument arctangent of the values widened to double, rounded to float.
float Atan2(float y, float x);

// sqrt(a * b) in single precision.
float GeometricMean(float a, float b);

// Two sines, because their callers need different precision at different cost: the field's
// delay modulation works in double (its result scales a delay of thousands of frames), the
// spectral widener in float for every bin of every transform. Neither may change its bits.

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
[[gnu::always_inline]] inline void PortableSinHalfTurn(const F& x, F& out) {
  const F z = x * x;
  const F p =
      -1.0f / 6.0f +
      z * (1.0f / 120.0f +
           z * (-1.0f / 5040.0f +
                z * (1.0f / 362880.0f + z * (-1.0f / 39916800.0f + z * (1.0f / 6227020800.0f)))));
  out = x + x * z * p;
}
template <typename F>
[[gnu::always_inline]] inline F PortableSinHalfTurn(F x) {
  F y;
  PortableSinHalfTurn(x, y);
  return y;
}

// The nearest integer (ties to even) for |x| < 2^22: adding and taking away 1.5 * 2^23 leaves no
// fraction bits. F is float or a float vector.
template <typename F>
[[gnu::always_inline]] inline void RoundToInteger(const F& x, F& out) {
  constexpr float kShift = 12582912.0f;
  out = (x + kShift) - kShift;
}

// 2^n for integral n in [-126, 127], through the exponent bits.
[[gnu::always_inline]] inline float Pow2Of(float n) {
  return std::bit_cast<float>((static_cast<int32_t>(n) + 127) << 23);
}
template <typename F>
[[gnu::always_inline]] inline void Pow2Of(const F& n, F& out) {
  using Int = decltype(n < n);
  const Int bits = (__builtin_convertvector(n, Int) + 127) << 23;
  std::memcpy(&out, &bits, sizeof(out));
}
[[gnu::always_inline]] inline void Pow2Of(const float& n, float& out) { out = Pow2Of(n); }

// e^x in float arithmetic, for the kernels that need it per bin: the library's expf is a call per
// lane and may differ between its builds. x is clamped to [-87, 88]; x = n ln2 + r with
// |r| <= ln2 / 2 (ln2 in two parts, the first with 16 significant bits, so n ln2 is exact), e^r
// from its Taylor series to r^7 (the first term left out is below 6e-9), scaled by 2^n. The
// relative error is a few float ulps; e^0 is exactly 1. By reference, so no 256-bit vector is
// passed or returned by value where AVX is not enabled.
template <typename F>
[[gnu::always_inline]] inline void PortableExp(const F& in, F& out) {
  const F zero{};
  F x = in < -87.0f ? zero - 87.0f : in;
  x = x > 88.0f ? zero + 88.0f : x;
  F n;
  RoundToInteger(x * 1.44269504f, n);
  const F r = (x - n * 0.693145751953125f) - n * 1.42860682e-6f;
  const F p =
      1.0f +
      r * (1.0f +
           r * (1.0f / 2.0f +
                r * (1.0f / 6.0f +
                     r * (1.0f / 24.0f +
                          r * (1.0f / 120.0f + r * (1.0f / 720.0f + r * (1.0f / 5040.0f)))))));
  F scale;
  Pow2Of(n, scale);
  out = p * scale;
}

[[gnu::always_inline]] inline float PortableExp(float x) {
  float y;
  PortableExp(x, y);
  return y;
}

// sin x and cos x in float arithmetic for |x| < 2^15 pi: x = k pi + r with |r| <= pi/2 (pi in two
// parts, the first with 8 significant bits, so k pi is exact), PortableSinHalfTurn of r and the
// cosine's Taylor series to r^14 (the first term left out is below 7e-11), both negated for odd k.
template <typename F>
[[gnu::always_inline]] inline void PortableSinCos(const F& x, F& sine, F& cosine) {
  F k;
  RoundToInteger(x * 0.318309886f, k);
  const F r = (x - k * 3.140625f) - k * 9.67653590e-4f;
  const F z = r * r;
  F s;
  PortableSinHalfTurn(r, s);
  const F c =
      1.0f +
      z * (-1.0f / 2.0f +
           z * (1.0f / 24.0f +
                z * (-1.0f / 720.0f +
                     z * (1.0f / 40320.0f +
                          z * (-1.0f / 3628800.0f +
                               z * (1.0f / 479001600.0f + z * (-1.0f / 87178291200.0f)))))));
  const F half = k * 0.5f;
  F whole;
  RoundToInteger(half, whole);
  const auto odd = half != whole;
  sine = odd ? -s : s;
  cosine = odd ? -c : c;
}

}  // namespace halvex
