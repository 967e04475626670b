#include "core/dsp/processor.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "core/dsp/filters/biquad.h"
#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

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

#if defined(__x86_64__) && defined(__GNUC__)
// Four staged frames, [wet dry | wet dry] twice, as their four wet and their four dry halves.
[[gnu::always_inline, gnu::target("arch=x86-64-v3")]] inline void Halves(const StageOutput* staged,
                                                                         __m256& wet, __m256& dry) {
  const __m256 first = _mm256_loadu_ps(&staged[0].wet.left);
  const __m256 second = _mm256_loadu_ps(&staged[2].wet.left);
  // In-lane picks give frames 0, 2 | 1, 3; the 64-bit permute puts them in order.
  wet = _mm256_castpd_ps(_mm256_permute4x64_pd(
      _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(1, 0, 1, 0))), 0xd8));
  dry = _mm256_castpd_ps(_mm256_permute4x64_pd(
      _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 2, 3, 2))), 0xd8));
}

[[gnu::target("arch=x86-64-v3")]] void WetHalves(const StageOutput* staged, StereoSample* wet,
                                                 size_t count) noexcept {
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256 w, d;
    Halves(staged + i, w, d);
    _mm256_storeu_ps(&wet[i].left, w);
  }
  for (; i < count; ++i) wet[i] = staged[i].wet;
}

// Processor::Mix on every frame, four at a time: the same fma in every lane.
[[gnu::target("arch=x86-64-v3")]] void MixFrames(const StereoSample* wet, const StageOutput* staged,
                                                 float wet_gain, float dry_gain, StereoSample* out,
                                                 size_t count) noexcept {
  const __m256 wg = _mm256_set1_ps(wet_gain);
  const __m256 dg = _mm256_set1_ps(dry_gain);
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256 w, d;
    Halves(staged + i, w, d);
    w = _mm256_loadu_ps(&wet[i].left);
    _mm256_storeu_ps(&out[i].left, _mm256_fmadd_ps(w, wg, _mm256_mul_ps(d, dg)));
  }
  for (; i < count; ++i) {
    out[i] = {std::fmaf(wet[i].left, wet_gain, staged[i].dry.left * dry_gain),
              std::fmaf(wet[i].right, wet_gain, staged[i].dry.right * dry_gain)};
  }
}

const bool kVectorMix = CpuRuns(SplitLevel::kAvx2);
#endif

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
#if defined(__x86_64__) && defined(__GNUC__)
  if (kVectorMix) {
    WetHalves(staged.data(), wet.data(), count);
    output_.ProcessBlock(wet.data(), count);
    MixFrames(wet.data(), staged.data(), wet_gain_, dry_gain_, frames, count);
    return;
  }
#endif
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
