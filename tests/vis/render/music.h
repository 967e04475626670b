// What the visualizer is fed in the renderer's tests and benchmark: a steady tone with a beat
// every half second, as the analyzer would report it.
#pragma once

#include <cmath>
#include <cstddef>

#include "vis/analysis.h"

namespace halvex::vis {

inline AudioFeatures Music(int frame) {
  AudioFeatures f;
  for (std::size_t i = 0; i < AudioFeatures::kWaveSize; ++i) {
    const double phase = 2.0 * M_PI * 4.0 * static_cast<double>(i) / AudioFeatures::kWaveSize;
    f.wave_left[i] = static_cast<float>(0.5 * std::sin(phase + 0.1 * frame));
    f.wave_right[i] = static_cast<float>(0.5 * std::cos(phase));
  }
  for (std::size_t k = 0; k < AudioFeatures::kSpectrumSize; ++k) {
    f.spectrum[k] = 0.2f / (1.0f + 0.05f * static_cast<float>(k));
  }
  f.beat = frame % 30 == 0;
  f.bass = f.bass_att = f.beat ? 2.0f : 1.0f;
  return f;
}

}  // namespace halvex::vis
