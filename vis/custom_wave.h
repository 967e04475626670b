// One custom wave of a preset: its frame and point code run each frame over the audio, and
// the points it places become a line strip or dots in the feedback image.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/custom_code.h"
#include "vis/draw_types.h"
#include "vis/eel.h"
#include "vis/preset.h"

namespace halvex::vis {

class CustomWave {
 public:
  // Point-code instructions one wave may run per frame: a long per-point program draws fewer
  // points instead of taking the frame over.
  static constexpr size_t kPointBudget = 100000;

  // Compiles the wave's code and runs its init code; false with the first compile error. A
  // disabled wave loads as nothing. `index` names the wave in notes.
  bool Load(const CustomWaveSpec& desc, size_t index, std::string& error,
            std::vector<std::string>& notes);
  // Runs the frame code and the point code, then appends the wave (alpha times `fade`) to
  // `draws`. Nothing when disabled.
  void Draw(const CustomFrame& frame, const AudioFeatures& features, float fade,
            CustomDraws& draws);

  bool enabled() const { return spec_.enabled; }
  // The live variables and their names, for tests.
  const std::vector<double>& vars() const { return vars_; }
  const VariableTable& table() const { return table_; }

 private:
  // value1 and value2 of every point: waveform or spectrum, scaled and smoothed.
  void Sample(const AudioFeatures& features, size_t points);

  CustomWaveSpec spec_;
  VariableTable table_;
  CustomVariables shared_;
  Program init_, frame_, point_;
  std::vector<double> vars_;
  size_t max_points_ = kMaxWaveSamples;
  enum Slot { kR, kG, kB, kA, kSamples, kSample, kValue1, kValue2, kX, kY, kSlotCount };
  std::array<size_t, kSlotCount> slots_{};
  std::array<float, kMaxWaveSamples> value1_{};
  std::array<float, kMaxWaveSamples> value2_{};
  std::array<float, kMaxWaveSamples> scratch_{};
};

}  // namespace halvex::vis
