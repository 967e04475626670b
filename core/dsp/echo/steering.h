// Per-band echo gains that follow (and exaggerate) how each band of the mix is panned, and
// give more echo to bands whose two channels are weakly correlated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/dsp/echo/band_table.h"

namespace halvex {

using BandValues = std::array<float, kMaxEchoBands>;

class BandSteering {
 public:
  // amount sharpens the pan share (exponent 1 + 3 amount); depth widens diffuse bands.
  void Configure(float steer_amount, float steer_depth, size_t band_count);
  // Forgets the followers; every gain and target back to 1.
  void Reset();
  // Recomputes the targets from the smoothed powers and cross products.
  void RefreshTargets();
  // Once per frame with the band signals of both channels.
  void Update(const BandValues& left_bands, const BandValues& right_bands) noexcept;

  const BandValues& gain_left() const { return gain_left_; }
  const BandValues& gain_right() const { return gain_right_; }
  const BandValues& target_left() const { return target_left_; }
  const BandValues& target_right() const { return target_right_; }
  bool active() const { return active_; }

 private:
  BandValues power_left_{};
  BandValues power_right_{};
  BandValues cross_{};
  BandValues gain_left_{};
  BandValues gain_right_{};
  BandValues target_left_{};
  BandValues target_right_{};
  float exponent_ = 1.0f;
  float depth_ = 0.0f;
  size_t band_count_ = 0;
  int32_t countdown_ = 0;
  bool active_ = false;
};

}  // namespace halvex
