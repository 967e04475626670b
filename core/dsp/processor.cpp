#include "core/dsp/processor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/dsp/filters/biquad.h"
#include "core/dsp/kit/multiversion.h"

namespace halvex {
namespace {

constexpr float kHighpassHz = 10.0f;
constexpr float kCeilingDb = -0.3f;

size_t HaasFrames(float ms) {
  if (!(ms > 0.0f)) return 0;
  long frames = static_cast<long>(std::fmaf(ms, 48.0f, 0.5f));
  if (frames < 0) frames = 0;
  if (frames > static_cast<long>(kMaxDelayFrames)) frames = static_cast<long>(kMaxDelayFrames);
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
  return Mix(output_.Process(staged.wet), staged.dry);
}

HALVEX_FMA_CLONES StereoSample Processor::ProcessFrame(float left, float right) noexcept {
  if (!stage_) return {left, right};
  return Run(left, right);
}

inline StereoSample Processor::Mix(StereoSample wet, StereoSample dry) const noexcept {
  // The dry path bypasses the output stage: no delay, filtering or limiting.
  return {std::fmaf(wet.left, wet_gain_, dry.left * dry_gain_),
          std::fmaf(wet.right, wet_gain_, dry.right * dry_gain_)};
}

HALVEX_FMA_CLONES void Processor::RunBlock(StereoSample* frames, size_t count) noexcept {
  std::array<StageOutput, kMaxStageBlock> staged;
  std::array<StereoSample, kMaxStageBlock> wet;
  for (size_t i = 0; i < count; ++i) frames[i] = {Finite(frames[i].left), Finite(frames[i].right)};
  stage_->ProcessBlock(frames, staged.data(), count);
  for (size_t i = 0; i < count; ++i) wet[i] = staged[i].wet;
  output_.ProcessBlock(wet.data(), count);
  for (size_t i = 0; i < count; ++i) frames[i] = Mix(wet[i], staged[i].dry);
}

void Processor::ProcessBlock(float* samples, size_t frames, size_t channels) noexcept {
  if (channels < 2 || frames == 0 || !stage_) return;
  std::array<StereoSample, kMaxStageBlock> chunk;
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    float* first = samples + done * channels;
    if (channels == 2) {
      // Interleaved stereo already has the frames' layout: run in place, without copies.
      static_assert(sizeof(StereoSample) == 2 * sizeof(float));
      RunBlock(reinterpret_cast<StereoSample*>(first), n);
      continue;
    }
    for (size_t i = 0; i < n; ++i) chunk[i] = {first[i * channels], first[i * channels + 1]};
    RunBlock(chunk.data(), n);
    for (size_t i = 0; i < n; ++i) {
      first[i * channels] = chunk[i].left;
      first[i * channels + 1] = chunk[i].right;
    }
  }
}

void Processor::ProcessPlanar(const float* left, const float* right, float* out_left,
                              float* out_right, size_t frames) noexcept {
  if (!stage_) {
    std::memmove(out_left, left, frames * sizeof(float));
    std::memmove(out_right, right, frames * sizeof(float));
    return;
  }
  std::array<StereoSample, kMaxStageBlock> chunk;
  for (size_t done = 0; done < frames; done += kMaxStageBlock) {
    const size_t n = std::min(kMaxStageBlock, frames - done);
    for (size_t i = 0; i < n; ++i) chunk[i] = {left[done + i], right[done + i]};
    RunBlock(chunk.data(), n);
    for (size_t i = 0; i < n; ++i) {
      out_left[done + i] = chunk[i].left;
      out_right[done + i] = chunk[i].right;
    }
  }
}

}  // namespace halvex
