// Fixed 8-band splitter made of a cascade of one-pole low-passes; the bands add up to the input.
#pragma once

#include <array>
#include <cmath>
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

  // Split as an inline step, for hot loops that want it fused with their own work (and built
  // for their instruction set: the fused multiply-adds are library calls without FMA).
  [[gnu::always_inline]] inline void SplitInline(float x, float* out) noexcept {
    float r = x;
    for (size_t k = 0; k < kBandSplitEdges; ++k) {
      state[k] = std::fmaf(coeffs[k], r - state[k], state[k]);
      out[k] = state[k];
      r -= state[k];
    }
    out[kBandSplitEdges] = r;
  }

  // Split of `count` frames (at most kMaxBlock) of two independent signals at once: bands_a[i]
  // holds the bands of xa[i]. Each state sees the operations of Split frame after frame, so the
  // bits are the same; where AVX2 and FMA are present the cascade runs as a wavefront, one
  // vector lane per band, so the frames' serial chains overlap.
  static constexpr size_t kMaxBlock = 32;
  static void SplitPair(BandSplit& a, BandSplit& b, const float* xa, const float* xb,
                        size_t count, std::array<float, kBandSplitBands>* bands_a,
                        std::array<float, kBandSplitBands>* bands_b) noexcept;

  // Apply as an inline step, likewise.
  [[gnu::always_inline]] inline float ApplyInline(float x, const float* gains) noexcept {
    float r = x;
    float sum = 0.0f;
    for (size_t k = 0; k < kBandSplitEdges; ++k) {
      state[k] = std::fmaf(coeffs[k], r - state[k], state[k]);
      sum += state[k] * gains[k];
      r -= state[k];
    }
    return sum + r * gains[kBandSplitEdges];
  }
};

// Two splits' coefficients and states padded to eight aligned lanes (lane 7 zero), as the
// wavefront kernels load them.
struct BandSplitPairLanes {
  alignas(32) std::array<float, kBandSplitBands> coeffs{};
  alignas(32) std::array<float, kBandSplitBands> state_a{};
  alignas(32) std::array<float, kBandSplitBands> state_b{};

  BandSplitPairLanes(const BandSplit& a, const BandSplit& b) {
    for (size_t k = 0; k < kBandSplitEdges; ++k) {
      coeffs[k] = a.coeffs[k];
      state_a[k] = a.state[k];
      state_b[k] = b.state[k];
    }
  }
  void StoreStates(BandSplit& a, BandSplit& b) const {
    for (size_t k = 0; k < kBandSplitEdges; ++k) {
      a.state[k] = state_a[k];
      b.state[k] = state_b[k];
    }
  }
};

}  // namespace halvex
