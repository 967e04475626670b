#include "vis/waveform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "vis/number_conversion.h"

namespace halvex::vis {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr size_t kWavePoints = AudioFeatures::kWaveSize;
constexpr double kLast = kWavePoints - 1;

}  // namespace

void Waveform::Build(const FrameState& s, const AudioFeatures& features, double time,
                     float fade) {
  r_ = s.wave_r;
  g_ = s.wave_g;
  b_ = s.wave_b;
  a_ = s.wave_a * fade;
  points_.clear();
  points_.reserve(kReserve);
  Append(s.wave_mode >= 0 ? s.wave_mode % kStyles : 0, s, features, time);
}

void Waveform::Emit(float x, float y, float s) {
  // Colours are kept finite and in range: the waves are drawn into the feedback image.
  points_.push_back(DrawVertex{ClampNanToLow(x, -1.0f, 1.0f), ClampNanToLow(y, -1.0f, 1.0f),
                               ClampNanToLow(r_, 0.0f, 1.0f), ClampNanToLow(g_, 0.0f, 1.0f),
                               ClampNanToLow(b_, 0.0f, 1.0f),
                               ClampNanToLow(s * a_, 0.0f, 1.0f)});
}

void Waveform::Append(int mode, const FrameState& s, const AudioFeatures& f, double time) {
  const Centre c{2.0 * s.wave_x - 1.0, 2.0 * s.wave_y - 1.0};
  switch (mode) {
    case 0: Circle(c, f); break;
    case 1: Scope(c, f); break;
    case 2: Line(c, f); break;
    case 3: ChannelLines(f); break;
    case 4: Spiral(c, f, time); break;
    case 5: SpectrumArc(c, f); break;
    case 6: SpectrumBars(c, f); break;
    default: break;
  }
}

void Waveform::Polar(Centre c, double r, double theta, float alpha) {
  Emit(static_cast<float>(c.x + r * std::cos(theta)),
       static_cast<float>(c.y + r * std::sin(theta)), alpha);
}

void Waveform::Circle(Centre c, const AudioFeatures& f) {
  for (size_t i = 0; i <= kWavePoints; ++i) {  // closed: the first point again at the end
    const double theta = 2.0 * kPi * static_cast<double>(i) / kWavePoints;
    Polar(c, 0.25 * f.wave_left[i % kWavePoints] + 0.4, theta, 1.0f);
  }
}

void Waveform::Scope(Centre c, const AudioFeatures& f) {
  for (size_t i = 0; i < kWavePoints; ++i) {
    Emit(static_cast<float>(c.x + 0.6 * f.wave_left[i]),
         static_cast<float>(c.y + 0.6 * f.wave_right[i]), 1.0f);
  }
}

void Waveform::Line(Centre c, const AudioFeatures& f) {
  for (size_t i = 0; i < kWavePoints; ++i) {
    Emit(static_cast<float>(i / kLast * 1.6 - 0.8 + 0.1 * c.x),
         static_cast<float>(c.y + 0.4 * (f.wave_left[i] + f.wave_right[i])), 1.0f);
  }
}

void Waveform::ChannelLines(const AudioFeatures& f) {
  for (size_t i = 0; i < kWavePoints; ++i) {
    Emit(static_cast<float>(i / kLast * 1.8 - 0.9),
         static_cast<float>(0.35 * f.wave_left[i] + 0.35), 1.0f);
  }
  const DrawVertex last = points_.back();
  Emit(last.x, last.y, 0.0f);
  for (size_t i = 0; i < kWavePoints; ++i) {  // the right channel drawn backwards
    Emit(static_cast<float>(0.9 - i / kLast * 1.8),
         static_cast<float>(0.35 * f.wave_right[i] - 0.35), 1.0f);
  }
}

void Waveform::Spiral(Centre c, const AudioFeatures& f, double time) {
  const double phase = 0.2 * time;
  for (size_t i = 0; i < kWavePoints; ++i) {
    const double u = i / kLast;
    Polar(c, 0.08 + 0.5 * u + 0.12 * f.wave_left[i], 4.0 * kPi * u + phase, 1.0f);
  }
}

void Waveform::SpectrumArc(Centre c, const AudioFeatures& f) {
  for (size_t k = 0; k <= 510; k += 2) {  // the upper half circle
    const double theta = (k / 511.0 + 1.0) * kPi;
    Polar(c, 0.45 * std::min(8.0 * f.spectrum[k], 1.0) + 0.3, theta, 1.0f);
  }
}

void Waveform::SpectrumBars(Centre c, const AudioFeatures& f) {
  for (size_t b = 0; b < 64; ++b) {  // each bar its own stroke
    const double theta = 2.0 * kPi * static_cast<double>(b) / 64.0;
    const double length = std::min(10.0 * f.spectrum[8 * b], 0.7) + 0.18;
    Polar(c, 0.15, theta, 0.0f);
    Polar(c, 0.15, theta, 1.0f);
    Polar(c, length, theta, 1.0f);
    Polar(c, length, theta, 0.0f);
  }
}

}  // namespace halvex::vis
