// A bank of up to 32 FIR band filters sharing one input, with an exchangeable band design.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/filters/fir_design.h"
#include "core/dsp/filters/fir_filter.h"

namespace halvex {

inline constexpr size_t kFilterbankMaxBands = 32;

// Designs the impulse response of one band between two edges.
class CrossoverStrategy {
 public:
  virtual ~CrossoverStrategy() = default;
  // The band's impulse response; entries at and beyond `taps` are 0.
  virtual FirCoeffs BandFir(float lo_hz, float hi_hz, size_t taps) const = 0;
};

// Linear-phase band-pass as the difference of two windowed-sinc low-passes: bands built on shared
// edges from 0 Hz up to 24000 Hz sum to a pure delay of (taps - 1) / 2 samples.
class LinkwitzRileyFir : public CrossoverStrategy {
 public:
  FirCoeffs BandFir(float lo_hz, float hi_hz, size_t taps) const override;
};

struct FirFilterbank {
  std::array<FirFilter, kFilterbankMaxBands> filters{};
  size_t band_count = 0;  // at most 32

  // Band i spans edges[i] to edges[i + 1]; bands above 32 are ignored.
  void Configure(const CrossoverStrategy& strategy,
                 const std::array<float, kFilterbankMaxBands + 1>& edges, size_t bands,
                 size_t taps);
  void Reset();
  // Writes out[i] for the active bands only; the other entries are left untouched.
  void Split(float x, std::array<float, kFilterbankMaxBands>& out) noexcept;
};

}  // namespace halvex
