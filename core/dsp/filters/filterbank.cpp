#include "core/dsp/filters/filterbank.h"

#include <algorithm>

namespace halvex {

FirCoeffs LinkwitzRileyFir::BandFir(float lo_hz, float hi_hz, size_t taps) const {
  FirCoeffs band = WindowedSincLowpass(hi_hz, taps);
  const FirCoeffs below = WindowedSincLowpass(lo_hz, taps);
  for (size_t i = 0; i < band.size(); ++i) band[i] -= below[i];
  return band;
}

void FirFilterbank::Configure(const CrossoverStrategy& strategy,
                              const std::array<float, kFilterbankMaxBands + 1>& edges,
                              size_t bands, size_t taps) {
  band_count = std::min(bands, kFilterbankMaxBands);
  for (size_t i = 0; i < band_count; ++i) {
    filters[i].SetCoeffs(strategy.BandFir(edges[i], edges[i + 1], taps), taps);
  }
}

void FirFilterbank::Reset() {
  for (size_t i = 0; i < band_count; ++i) filters[i].Reset();
}

void FirFilterbank::Split(float x, std::array<float, kFilterbankMaxBands>& out) noexcept {
  for (size_t i = 0; i < band_count; ++i) out[i] = filters[i].Process(x);
}

}  // namespace halvex
