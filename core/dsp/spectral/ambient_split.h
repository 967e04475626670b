// Per-bin ambience analysis: how diffuse each bin is and where it sits between the channels.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/spectral/wola.h"

namespace halvex {

struct AmbientSplit {
  std::array<float, kFftBins> power_left{};   // smoothed |L|^2
  std::array<float, kFftBins> power_right{};  // smoothed |R|^2
  std::array<float, kFftBins> cross_re{};     // smoothed Re(L conj R)
  std::array<float, kFftBins> cross_im{};     // smoothed Im(L conj R)
  std::array<float, kFftBins> ambience{};           // raw diffuse fraction, 0..1
  std::array<float, kFftBins> ambience_gated{};     // 3-bin mean minus a floor, 0..1
  std::array<float, kFftBins> coherence{};          // raw correlation, 0..1
  std::array<float, kFftBins> coherence_smooth{};   // 17-bin mean of coherence
  std::array<float, kFftBins> ambience_smooth{};    // 17-bin mean of ambience_gated
  std::array<float, kFftBins> balance{};            // (|L|^2 - |R|^2) / P, -1..1
  std::array<float, kFftBins> quadrature{};         // -2 Im(L conj R) / P, -1..1
  std::array<float, kFftBins> balance_smooth{};     // 17-bin mean of balance
  std::array<float, kFftBins> quadrature_smooth{};  // 17-bin mean of quadrature
  size_t first_bin = 0;  // bins first_bin <= k < end_bin are analysed
  size_t end_bin = 0;    // at most 512

  // Stores the bin range (end capped at 512) and resets.
  void Configure(size_t first, size_t end);
  // Zeroes every array.
  void Reset();
  // Once per transform frame.
  void Update(const StereoSpectrum& spectrum) noexcept;
  // Update for callers that read only the ambience: the 17-bin means of balance, quadrature and
  // coherence are not brought up to date.
  void UpdateAmbience(const StereoSpectrum& spectrum) noexcept;
  void SmoothAcrossBins() noexcept;
};

}  // namespace halvex
