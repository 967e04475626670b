// Spectral widening: pushes coherent, off-centre bins further out to widen the stereo stage.
#pragma once

#include <array>

#include "core/dsp/spatial_stage.h"
#include "core/dsp/spectral/wola.h"

namespace halvex {

class SpectralWidener : public SpectrumTransform {
 public:
  // Stores `expand` (0 leaves the stage as it is, 1 triples a bin's distance from the centre),
  // configures the engine and resets.
  void Configure(float expand);
  // Restores the starting per-bin state: centred angles, no power, unity gains.
  void Reset();
  // The widened frame of 1024 calls ago.
  StereoSample Process(float left, float right) noexcept;
  // What Process will return `ahead` calls from now (0: the next call). Only the results up to
  // the next transform (kWolaHop - engine.hop_count of them, 1 to 256) are final: a later input
  // adds only to the frames after them.
  StereoSample Upcoming(size_t ahead) const {
    const size_t at = (engine.output_pos + ahead) % engine.output_left.size();
    return {engine.output_left[at], engine.output_right[at]};
  }
  void Apply(StereoSpectrum& spectrum) override;
  // Apply without vector instructions. For tests: must give the bits of Apply.
  void ApplyOneBinAtATime(StereoSpectrum& spectrum);

  WolaEngine engine;
  // Per bin: smoothed pan angle (0 hard left, pi/2 hard right), powers and cross term, and the
  // gains of the last frame.
  std::array<float, kFftBins> angle{};
  std::array<float, kFftBins> power_left{};
  std::array<float, kFftBins> power_right{};
  std::array<float, kFftBins> cross_re{};
  std::array<float, kFftBins> cross_im{};
  std::array<float, kFftBins> gain_left{};
  std::array<float, kFftBins> gain_right{};
  float expand = 0.0f;

 private:
  void SteerBins(StereoSpectrum& spectrum) noexcept;
  // Averages the raw gains over neighbouring bins and scales the spectrum by them.
  void ScaleBins(StereoSpectrum& spectrum) noexcept;
};

}  // namespace halvex
