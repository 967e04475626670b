// Fixed 8-band splitter made of a cascade of one-pole low-passes; the bands add up to the input.
#pragma once

#include <array>
#include <cstddef>

namespace halvex {

inline constexpr size_t kBandSplitBands = 8;
inline constexpr size_t kBandSplitEdges = kBandSplitBands - 1;

// Upper edge of band `index` in Hz (120 Hz ... 10 kHz); 24000 for any index past the table.
float BandEdgeHz(size_t index);

struct BandSplit {
  std::array<float, kBandSplitEdges> coeffs{};
  std::array<float, kBandSplitEdges> state{};

  // Computes the coefficients from the edge table and clears the state.
  void Configure();
  void Reset();
  // out[0] is the lowest band; out[7] is what the seven low-passes leave.
  void Split(float x, std::array<float, kBandSplitBands>& out) noexcept;
  // Same state update as Split; returns the bands weighted by `gains` and summed.
  float Apply(float x, const std::array<float, kBandSplitBands>& gains) noexcept;
};

}  // namespace halvex
