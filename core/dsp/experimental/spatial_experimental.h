// The experimental stage: re-renders ambient and direct sound bin by bin in the
// frequency domain.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/experimental/ambient_render.h"
#include "core/dsp/spectral/ambient_split.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/spectral/wola.h"

namespace halvex {

class ExperimentalStage final : public SpatialStage, public SpectrumTransform {
 public:
  static constexpr size_t kDryRingLength = 2048;

  void Configure(const ProcessorConfig& config) override;
  void Reset() override;
  size_t Latency() const override;
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;
  void Apply(StereoSpectrum& spectrum) override;

  bool active() const { return active_; }
  const AmbientRenderer& renderer() const { return renderer_; }
  const AmbientSplit& split() const { return split_; }

 private:
  // Process of an active stage.
  StageOutput Step(float left, float right) noexcept;

  WolaEngine engine_;
  AmbientSplit split_;
  AmbientRenderer renderer_;
  // The analysed bins, 4 to 340: 187.5 Hz to 15937.5 Hz.
  static constexpr size_t kSplitFirstBin = 4;
  static constexpr size_t kSplitEndBin = 341;
  std::array<float, kDryRingLength> dry_left_{};
  std::array<float, kDryRingLength> dry_right_{};
  size_t dry_pos_left_ = 0;
  size_t dry_pos_right_ = 0;
  bool active_ = false;
};

}  // namespace halvex
