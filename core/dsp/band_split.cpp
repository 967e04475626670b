#include "core/dsp/band_split.h"

#include <cmath>
#include <numbers>

namespace halvex {

namespace {

// Upper edges of the lower seven bands, Hz: roughly the ear's critical-band groups.
constexpr std::array<float, kBandSplitEdges> kBandEdgesHz = {120.0f,  300.0f,  700.0f, 1500.0f,
                                                             3000.0f, 6000.0f, 10000.0f};
constexpr float kNyquistHz = 24000.0f;

}  // namespace

float BandEdgeHz(size_t index) {
  return index < kBandEdgesHz.size() ? kBandEdgesHz[index] : kNyquistHz;
}

void BandSplit::Configure() {
  const float two_pi = 2.0f * std::numbers::pi_v<float>;
  for (size_t k = 0; k < kBandSplitEdges; ++k) {
    coeffs[k] = 1.0f - std::exp(-two_pi * BandEdgeHz(k) / 48000.0f);
  }
  Reset();
}

void BandSplit::Reset() { state.fill(0.0f); }

// The cascade is serial (each band is cut from the remainder of the one below), so there is
// nothing to vectorise; the clone only turns the fused multiply-adds into instructions.
__attribute__((target_clones("arch=x86-64-v3", "default")))
void BandSplit::Split(float x, std::array<float, kBandSplitBands>& out) noexcept {
  SplitInline(x, out.data());
}

__attribute__((target_clones("arch=x86-64-v3", "default")))
float BandSplit::Apply(float x, const std::array<float, kBandSplitBands>& gains) noexcept {
  return ApplyInline(x, gains.data());
}

}  // namespace halvex
