// The main waveform of a frame: a line strip in one of seven styles, in the preset's wave
// colour. Points with alpha 0 end one stroke and begin the next.
#pragma once

#include <cstddef>
#include <vector>

#include "vis/analysis.h"
#include "vis/draw_types.h"
#include "vis/mesh.h"

namespace halvex::vis {

class Waveform {
 public:
  static constexpr size_t kReserve = 1160;  // the longest style, 1153 points
  static constexpr int kStyles = 7;

  // Rebuilds the strip in the style of `state`'s wave_mode (negative gives style 0), its
  // alpha times `fade`.
  void Build(const FrameState& state, const AudioFeatures& features, double time, float fade);
  // Appends style `mode` around `state`'s wave centre in the current colour.
  void Append(int mode, const FrameState& state, const AudioFeatures& features, double time);
  // Appends one point, clamped to the clip space, its alpha the colour's times `alpha_scale`.
  void Emit(float x, float y, float alpha_scale);

  const std::vector<DrawVertex>& points() const { return points_; }

 private:
  struct Centre {
    double x;
    double y;
  };
  void Polar(Centre c, double r, double theta, float alpha);
  void Circle(Centre c, const AudioFeatures& f);
  void Scope(Centre c, const AudioFeatures& f);
  void Line(Centre c, const AudioFeatures& f);
  void ChannelLines(const AudioFeatures& f);
  void Spiral(Centre c, const AudioFeatures& f, double time);
  void SpectrumArc(Centre c, const AudioFeatures& f);
  void SpectrumBars(Centre c, const AudioFeatures& f);

  std::vector<DrawVertex> points_;
  float r_ = 1.0f;
  float g_ = 1.0f;
  float b_ = 1.0f;
  float a_ = 1.0f;
};

}  // namespace halvex::vis
