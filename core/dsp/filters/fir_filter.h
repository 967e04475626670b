// Fixed-capacity direct-form FIR filter (up to 256 taps) over a doubled delay line.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/filters/fir_design.h"

namespace halvex {

struct FirFilter {
  FirCoeffs coeffs{};
  // Every sample is written twice, `taps` apart, so the newest `taps` samples are always
  // contiguous from `pos` and the inner product needs no wrap test.
  std::array<float, 2 * kFirMaxTaps> history{};
  size_t taps = 1;  // 1 to 256
  size_t pos = 0;   // index of the newest sample in history

  // Copies all 256 coefficients and clears the state; tap_count is clamped to 1..256.
  void SetCoeffs(const FirCoeffs& c, size_t tap_count);
  void Reset();
  float Process(float x) noexcept;
};

}  // namespace halvex
