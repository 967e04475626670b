// One second-order IIR section (transposed direct form II) and its cookbook designs at 48 kHz.
#pragma once

#include <cmath>

namespace halvex {

struct Biquad {
  float b0 = 1.0f;
  float b1 = 0.0f;
  float b2 = 0.0f;
  float a1 = 0.0f;
  float a2 = 0.0f;
  float z1 = 0.0f;
  float z2 = 0.0f;

  // Every design clears the state.
  void SetButterworthHighpass(float hz);
  void SetHighpass(float hz, float q);
  void SetLowpass(float hz, float q);
  void SetHighShelf(float hz, float gain_db);
  void SetLowShelf(float hz, float gain_db);
  void SetPeaking(float hz, float gain_db, float bandwidth_octaves);

  void Reset() noexcept {
    z1 = 0.0f;
    z2 = 0.0f;
  }
  // Inline so callers built for FMA hardware get single instructions.
  float Process(float x) noexcept {
    const float y = std::fmaf(b0, x, z1);
    z1 = std::fmaf(b1, x, std::fmaf(-a1, y, z2));
    z2 = std::fmaf(b2, x, -a2 * y);
    return y;
  }
  // Linear magnitude response at hz.
  float MagnitudeAt(float hz) const;
};

// Gain in decibels; Db(0) is -infinity.
float Db(float linear);

}  // namespace halvex
