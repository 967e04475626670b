// Re-renders each bin of a stereo spectrum from its ambience analysis: ambient bins are rotated
// between the channels and phase-spread, direct bins get a smaller phase spread, and a slow
// per-band correction keeps each band's channel balance and phase close to the input's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/config/config_defaults.h"
#include "core/dsp/spectral/ambient_split.h"
#include "core/dsp/spectral/wola.h"

namespace halvex {

// Render settings that differ between loudspeakers and headphones.
struct AmbientProfile {
  float rotation_scale;
  float phase_scale;
  float eq_depth;
  size_t first_bin;
};

inline constexpr AmbientProfile kHeadphones{1.55f, 0.7479983f, 1.0f, 4};
inline constexpr AmbientProfile kSpeakers{1.3f, 0.62831855f, 0.6f, 6};

inline constexpr size_t kBalanceBands = 8;
inline constexpr size_t kRenderEndBin = 341;

class AmbientRenderer {
 public:
  void Configure(float ambience_spread, float ambience_depth, float direct_spread,
                 RenderTarget target);
  // Band corrections back to neutral; the per-bin tables stay.
  void Reset();
  void Render(StereoSpectrum& spectrum, const AmbientSplit& split) noexcept;

  void RenderOneBin(StereoSpectrum& spectrum, size_t k, const AmbientSplit& split) const noexcept;
  void UpdateBalance(const StereoSpectrum& before, const StereoSpectrum& after) noexcept;
  void ApplyBalance(StereoSpectrum& spectrum) const noexcept;

  size_t first_bin() const { return first_bin_; }
  size_t end_bin() const { return end_bin_; }
  const std::array<float, kFftBins>& rotation_angle() const { return rotation_angle_; }
  const std::array<float, kFftBins>& ambient_phase() const { return ambient_phase_; }
  const std::array<float, kFftBins>& direct_phase() const { return direct_phase_; }
  const std::array<float, kFftBins>& depth_eq() const { return depth_eq_; }
  const std::array<float, kBalanceBands>& band_gain_left() const { return band_gain_left_; }
  const std::array<float, kBalanceBands>& band_gain_right() const { return band_gain_right_; }
  const std::array<float, kBalanceBands>& band_phase() const { return band_phase_; }

 private:
  // Per band: |L|^2, |R|^2 and L conj(R) summed over its bins.
  struct BandSums {
    std::array<double, kBalanceBands> left;
    std::array<double, kBalanceBands> right;
    std::array<double, kBalanceBands> cross_re;
    std::array<double, kBalanceBands> cross_im;
  };
  BandSums SumBands(const StereoSpectrum& spectrum) const noexcept;
  void UpdateBalance(const BandSums& in, const BandSums& out) noexcept;

  std::array<float, kFftBins> rotation_angle_{};
  std::array<float, kFftBins> ambient_phase_{};
  std::array<float, kFftBins> direct_phase_{};
  std::array<float, kFftBins> depth_eq_{};
  std::array<float, kBalanceBands> band_gain_left_{};
  std::array<float, kBalanceBands> band_gain_right_{};
  std::array<float, kBalanceBands> band_phase_{};
  float log_depth_ = 0.0f;  // ln of the ambience depth
  size_t first_bin_ = 0;
  size_t end_bin_ = 0;
  // Derived from first_bin once per configuration, so the audio path needs no logarithms
  // for them: where each band's bins begin (the last entry is end_bin), and each bin's
  // interpolation between bands (from band lerp_lower_ toward the next one up by lerp_t_).
  std::array<size_t, kBalanceBands + 1> band_begin_{};
  // cos and sin of direct_phase, for bins without ambience.
  std::array<float, kFftBins> direct_cos_{};
  std::array<float, kFftBins> direct_sin_{};
  std::array<int32_t, kFftBins> lerp_lower_{};
  std::array<float, kFftBins> lerp_t_{};
};

}  // namespace halvex
