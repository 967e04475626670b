#include "core/dsp/echo/band_table.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/kit/portable_math.h"

namespace halvex {
namespace {

constexpr float kNyquistHz = 24000.0f;
constexpr float kFramesPerMs = 48.0f;

bool IsUsableCentre(float hz) { return hz > 0.0f && std::isfinite(hz); }

}  // namespace

size_t BuildBandEdges(const std::vector<BandParam>& bands, BandEdges& edges) {
  if (bands.empty()) {
    edges[0] = kNyquistHz;
    return 0;
  }
  const size_t n = std::min(bands.size(), kMaxEchoBands);
  edges[0] = 0.0f;
  for (size_t i = 1; i < n; ++i) {
    const float lower = bands[i - 1].freq_hz;
    const float upper = bands[i].freq_hz;
    // A zero, negative or non-finite centre would give a NaN (or negative) edge and a NaN
    // filter design: both edges of such a row collapse onto the one below, so its band and
    // its lower neighbour go silent while the others still tile 0 to 24000 Hz.
    const float edge =
        IsUsableCentre(lower) && IsUsableCentre(upper) ? GeometricMean(lower, upper) : edges[i - 1];
    edges[i] = std::min(edge, kNyquistHz);
  }
  edges[n] = kNyquistHz;
  return n;
}

TapGains BuildTapGains(const ProcessorConfig& config) {
  TapGains gains{};
  for (size_t k = 0; k < kEchoTaps; ++k) {
    gains[k] = config.tap_volumes[k] * config.widen_scale;
  }
  if (config.alternate_tap_polarity) {
    gains[1] = -gains[1];
    gains[3] = -gains[3];
  }
  return gains;
}

size_t TapDelayFrames(float base_ms, float multiplier) {
  const float frames = std::fmaf(base_ms, kFramesPerMs * multiplier, 0.5f);
  if (!(frames > 0.0f)) {
    return 0;  // negative, or NaN from a table that was never validated
  }
  if (frames >= static_cast<float>(kMaxDelayFrames)) {
    return kMaxDelayFrames;
  }
  return static_cast<size_t>(frames);
}

}  // namespace halvex
