#include "core/dsp/coherence_gate.h"

#include <algorithm>
#include <cstring>

#include "core/dsp/multiversion.h"
#include "core/dsp/vector_kit.h"

namespace halvex {
namespace {

// The analysed bins: 187.5 Hz to 15937.5 Hz.
constexpr size_t kFirstBin = 4;
constexpr size_t kEndBin = 341;
constexpr float kMinBinEnergy = 1e-12f;
// Ambience this high (relative to the band's energy) counts as fully ambient.
constexpr float kFullAmbience = 0.7f;
constexpr float kGainStep = 8e-4f;  // per frame: a full swing takes 1250 frames

}  // namespace

void CoherenceGate::Configure(float recycle) {
  recycle_ = recycle;
  enabled_ = recycle < 1.0f;
  engine_.Configure();
  ambient_.Configure(kFirstBin, kEndBin);
  split_left_.Configure();
  split_right_.Configure();
  for (size_t i = 0; i < kFftBins; ++i) {
    size_t band = 0;
    while (band < kBandSplitEdges && static_cast<float>(i) * kBinHz > BandEdgeHz(band)) ++band;
    band_of_bin_[i] = band;
  }
  Reset();
}

void CoherenceGate::Reset() {
  engine_.Reset();
  ambient_.Reset();
  split_left_.Reset();
  split_right_.Reset();
  target_.fill(1.0f);
  current_.fill(1.0f);
}

void CoherenceGate::Observe(float left, float right) noexcept {
  if (enabled_) engine_.Analyse(left, right, *this);
}

void CoherenceGate::Apply(StereoSpectrum& spectrum) {
  ambient_.UpdateAmbience(spectrum);  // the gate reads nothing else
  std::array<float, kBandSplitBands> numerator{};
  std::array<float, kBandSplitBands> denominator{};
  for (size_t k = kFirstBin; k < kEndBin; ++k) {
    const float e = spectrum.left_re[k] * spectrum.left_re[k] +
                    spectrum.left_im[k] * spectrum.left_im[k] +
                    spectrum.right_re[k] * spectrum.right_re[k] +
                    spectrum.right_im[k] * spectrum.right_im[k];
    if (e < kMinBinEnergy) continue;
    numerator[band_of_bin_[k]] += e * ambient_.ambience_smooth[k];
    denominator[band_of_bin_[k]] += e;
  }
  for (size_t b = 0; b < kBandSplitBands; ++b) {
    if (denominator[b] <= 0.0f) continue;  // a silent band keeps its previous target
    const float a = std::clamp(numerator[b] / (kFullAmbience * denominator[b]), 0.0f, 1.0f);
    target_[b] = 1.0f + (recycle_ - 1.0f) * a;
  }
}

// The gains move in eight lanes at once (std::clamp(v, lo, hi) is v < lo ? lo : (hi < v ? hi : v),
// lane by lane); both channels' splits are inline so their serial chains interleave.
[[gnu::always_inline]] inline StereoSample CoherenceGate::ShapeOne(float left,
                                                                  float right) noexcept {
  static_assert(kBandSplitBands == 8);
  Float8 current, target;
  std::memcpy(&current, current_.data(), sizeof current);
  std::memcpy(&target, target_.data(), sizeof target);
  const Float8 lo = Float8{} - kGainStep;
  const Float8 hi = Float8{} + kGainStep;
  const Float8 d = target - current;
  current += d < lo ? lo : (hi < d ? hi : d);
  std::memcpy(current_.data(), &current, sizeof current);
  return {split_left_.ApplyInline(left, current_.data()),
          split_right_.ApplyInline(right, current_.data())};
}

HALVEX_FMA_CLONES StereoSample CoherenceGate::Shape(float left, float right) noexcept {
  if (!enabled_) return {left, right};
  return ShapeOne(left, right);
}

HALVEX_FMA_CLONES void CoherenceGate::ObserveAndShape(const StereoSample* in, StereoSample* out,
                                                      size_t count) noexcept {
  if (!enabled_) {
    for (size_t i = 0; i < count; ++i) out[i] = in[i];
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    engine_.Analyse(in[i].left, in[i].right, *this);
    out[i] = ShapeOne(in[i].left, in[i].right);
  }
}

}  // namespace halvex
