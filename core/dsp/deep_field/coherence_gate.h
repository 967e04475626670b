// Decides how much of the input's own ambience reaches the field: measures ambience per band in
// the spectrum and attenuates those bands in what feeds the reflections, by `recycle`.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/spectral/ambient_split.h"
#include "core/dsp/filters/band_split.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/spectral/wola.h"

namespace halvex {

class CoherenceGate final : public SpectrumTransform {
 public:
  // recycle 1 leaves the gate open and switches the analysis off; 0 mutes fully ambient bands.
  void Configure(float recycle);
  void Reset();
  void Observe(float left, float right) noexcept;
  StereoSample Shape(float left, float right) noexcept;
  // Observe then Shape for each of `count` frames, in one loop.
  void ObserveAndShape(const StereoSample* in, StereoSample* out, size_t count) noexcept;
  // Called by the engine every 256 frames: turns the measured ambience into band targets.
  void Apply(StereoSpectrum& spectrum) override;

  bool Enabled() const { return enabled_; }
  size_t BandOfBin(size_t bin) const { return band_of_bin_[bin]; }
  const std::array<float, kBandSplitBands>& TargetGains() const { return target_; }
  const std::array<float, kBandSplitBands>& CurrentGains() const { return current_; }

 private:
  WolaEngine engine_{};
  AmbientSplit ambient_{};
  BandSplit split_left_{};
  BandSplit split_right_{};
  std::array<size_t, kFftBins> band_of_bin_{};
  std::array<size_t, kBandSplitBands + 1> band_begin_{};  // each band's first analysed bin
  std::array<float, kBandSplitBands> target_{};
  std::array<float, kBandSplitBands> current_{};
  float recycle_ = 1.0f;
  bool retargeted_ = false;  // Apply ran since the shaping last took up the targets
  bool enabled_ = false;

  StereoSample ShapeOne(float left, float right) noexcept;
};

}  // namespace halvex
