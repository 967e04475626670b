// Per-frame audio features from the newest frames of the ring: wave, spectrum, levels, beat.
#pragma once

#include <array>
#include <cstddef>

#include "vis/ring.h"

namespace halvex::vis {

struct AudioFeatures {
  static constexpr size_t kWaveSize = 576;
  static constexpr size_t kSpectrumSize = 512;

  std::array<float, kWaveSize> wave_left{};   // the newest frames, oldest first
  std::array<float, kWaveSize> wave_right{};
  std::array<float, kSpectrumSize> spectrum{};  // |FFT| bins 0..511 of a 1024-point transform
  // Band level over its long-term average: 1 means the band is at its usual level.
  float bass = 1.0f;
  float mid = 1.0f;
  float treb = 1.0f;
  float bass_att = 1.0f;  // smoothed bass, mid, treb
  float mid_att = 1.0f;
  float treb_att = 1.0f;
  bool beat = false;
};

// First bins of the mid and treble bands and the end of the treble band, from the bin width as
// a float: at 48000 Hz bass is bins 0-5, mid 6-48, treble 49-469.
struct BandEdges {
  size_t mid = 0;
  size_t treb = 0;
  size_t end = 0;
};
BandEdges BandEdgesFor(int sample_rate);

// Runs once per rendered frame, so its averages move per frame, not per second of audio.
class Analyzer {
 public:
  static constexpr size_t kFftSize = 1024;

  // 48000 when the rate is below 1; restores the initial averages and smoothed levels.
  void Configure(int sample_rate);
  AudioFeatures Analyse(const AudioRing& ring);
  AudioFeatures AnalyseBuffer(const StereoFrame* frames, size_t n);
  // Spectrum of the newest min(n, 1024) frames under a Hann window, scaled so that a
  // full-scale sine peaks near 0.5.
  void FillSpectrum(const StereoFrame* frames, size_t n, AudioFeatures& features) const;

  int sample_rate() const { return sample_rate_; }

 private:
  int sample_rate_ = 48000;
  float bass_avg_ = 0.0f;
  float mid_avg_ = 0.0f;
  float treb_avg_ = 0.0f;
  float bass_att_ = 1.0f;
  float mid_att_ = 1.0f;
  float treb_att_ = 1.0f;
  float beat_avg_ = 1.0f;
  int beat_hold_ = 0;
  std::array<StereoFrame, kFftSize> buffer_{};
};

}  // namespace halvex::vis
