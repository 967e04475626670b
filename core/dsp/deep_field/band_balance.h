// Evens out the two channels of the field band by band: each channel's eight band gains are
// drawn slowly toward the level of the two channels' mean, within a factor of 1.4 either way.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/filters/band_split.h"
#include "core/dsp/deep_field/field_lanes.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {

class BandBalance {
 public:
  static constexpr size_t kBlock = field::kBlock;

  // Configures both band splits and clears the state.
  void Configure();
  // Clears the splits and the smoothed powers; band gains back to 1.
  void Reset();
  StereoSample Process(float left, float right) noexcept;
  // kBlock frames in place, with the result of that many calls of Process.
  void ProcessBlock(float* left, float* right) noexcept;

 private:
  // The smoothed powers and the gains, held in registers while a frame or block runs.
  struct State {
    Float8 power_left, power_right, gain_left, gain_right;
  };
  void Load(State& st) const noexcept;
  void Store(const State& st) noexcept;
  void Weigh(State& st, const Float8& band_left, const Float8& band_right, Float8& weighted_left,
             Float8& weighted_right) noexcept;

  BandSplit split_left_{};
  BandSplit split_right_{};
  std::array<float, kBandSplitBands> power_left_{};
  std::array<float, kBandSplitBands> power_right_{};
  std::array<float, kBandSplitBands> gain_left_{};
  std::array<float, kBandSplitBands> gain_right_{};
};

}  // namespace halvex
