#include "core/dsp/processor.h"

#include <cmath>

#include "core/dsp/biquad.h"
#include "core/dsp/multiversion.h"

namespace halvex {
namespace {

constexpr float kHighpassHz = 10.0f;
constexpr float kCeilingDb = -0.3f;
constexpr long kMaxHaasFrames = 2047;

size_t HaasFrames(float ms) {
  if (!(ms > 0.0f)) return 0;
  long frames = static_cast<long>(std::fmaf(ms, 48.0f, 0.5f));
  if (frames < 0) frames = 0;
  if (frames > kMaxHaasFrames) frames = kMaxHaasFrames;
  return static_cast<size_t>(frames);
}

// A NaN or infinity would stay in every recursive filter until the next Configure, so one bad
// sample from a player would silence (or NaN) the output for good: read it as silence instead.
float Finite(float x) noexcept { return std::isfinite(x) ? x : 0.0f; }

}  // namespace

void Processor::Configure(const ProcessorConfig& config) {
  // Always rebuilt, so every configuration starts the stage from silence.
  std::unique_ptr<SpatialStage> previous = std::move(stage_);
  stage_ = MakeSpatialStage(config.spatial_algorithm);
  previous.reset();
  stage_->Configure(config);

  OutputParams params;
  params.highpass_hz = kHighpassHz;
  params.ceiling_db = kCeilingDb;
  params.haas_delay_samples = HaasFrames(config.haas_delay_ms);
  params.haas_left = config.haas_channel == 1;
  params.treble_shelf_hz = config.treble_shelf_hz;
  params.treble_shelf_db = config.treble_shelf_db;
  params.bass_shelf_db = config.bass < 1.0f ? Db(config.bass) : 0.0f;
  output_.Configure(params);

  wet_gain_ = config.wet_dry_ratio;
  dry_gain_ = 1.0f - config.wet_dry_ratio;

  stage_->Reset();
  output_.Reset();
}

StereoSample Processor::Run(float left, float right) noexcept {
  const StageOutput staged = stage_->Process(Finite(left), Finite(right));
  const StereoSample out = output_.Process(staged.wet);
  // The dry path bypasses the output stage: no delay, filtering or limiting.
  return {std::fmaf(out.left, wet_gain_, staged.dry.left * dry_gain_),
          std::fmaf(out.right, wet_gain_, staged.dry.right * dry_gain_)};
}

HALVEX_FMA_CLONES StereoSample Processor::ProcessFrame(float left, float right) noexcept {
  if (!stage_) return {left, right};
  return Run(left, right);
}

HALVEX_FMA_CLONES void Processor::ProcessBlock(float* samples, size_t frames,
                                               size_t channels) noexcept {
  if (channels < 2 || frames == 0 || !stage_) return;
  for (size_t i = 0; i < frames; ++i) {
    float* frame = samples + i * channels;
    const StereoSample out = Run(frame[0], frame[1]);
    frame[0] = out.left;
    frame[1] = out.right;
  }
}

}  // namespace halvex
