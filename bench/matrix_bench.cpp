// Cost per frame of the two matrix-surround stages, alone (frame by frame and in blocks) and
// inside the whole Processor.
#include <cstdint>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/processor.h"
#include "core/dsp/matrix/spatial_matrix.h"
#include "tests/support/processor_render.h"

namespace halvex {
namespace {

constexpr size_t kFrames = 4096;

// Interleaved stereo noise at half scale with partly correlated channels, so the steering
// servo keeps moving.
std::vector<float> Noise(size_t frames, uint32_t seed) {
  std::vector<float> v(frames * 2);
  for (size_t i = 0; i < frames; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float common = static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
    seed = seed * 1664525u + 1013904223u;
    const float own = static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
    v[2 * i] = 0.4f * common + 0.1f * own;
    v[2 * i + 1] = 0.4f * common - 0.1f * own;
  }
  return v;
}

using test::ConfigFor;

template <typename Stage>
void RunStage(benchmark::State& state, SpatialAlgorithm algorithm) {
  DenormalGuard guard;
  auto stage = std::make_unique<Stage>();
  stage->Configure(ConfigFor(algorithm));
  stage->Reset();
  bench::RunStageFrames(state, *stage, Noise(kFrames, 17));
}

// The same through the stage's block call, kMaxStageBlock frames at a time.
template <typename Stage>
void RunStageBlocks(benchmark::State& state, SpatialAlgorithm algorithm) {
  DenormalGuard guard;
  const std::vector<float> noise = Noise(kFrames, 17);
  std::vector<StereoSample> in(kFrames);
  for (size_t i = 0; i < kFrames; ++i) in[i] = {noise[2 * i], noise[2 * i + 1]};
  std::vector<StageOutput> out(kFrames);
  auto stage = std::make_unique<Stage>();
  stage->Configure(ConfigFor(algorithm));
  stage->Reset();
  for (auto _ : state) {
    for (size_t at = 0; at < kFrames; at += kMaxStageBlock) {
      stage->ProcessBlock(in.data() + at, out.data() + at, kMaxStageBlock);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  bench::ReportFrames(state, kFrames);
}

void BM_MatrixSurroundStage(benchmark::State& state) {
  RunStage<MatrixSurroundStage>(state, SpatialAlgorithm::kMatrixSurround);
}

void BM_MatrixSteerStage(benchmark::State& state) {
  RunStage<MatrixSteerStage>(state, SpatialAlgorithm::kMatrixSteer);
}

void BM_MatrixSurroundStageBlocks(benchmark::State& state) {
  RunStageBlocks<MatrixSurroundStage>(state, SpatialAlgorithm::kMatrixSurround);
}

void BM_MatrixSteerStageBlocks(benchmark::State& state) {
  RunStageBlocks<MatrixSteerStage>(state, SpatialAlgorithm::kMatrixSteer);
}

void BM_Processor(benchmark::State& state, SpatialAlgorithm algorithm) {
  DenormalGuard guard;
  Processor processor;
  processor.Configure(ConfigFor(algorithm));
  bench::RunProcessorBlock(state, processor, Noise(kFrames, 17));
}

BENCHMARK(BM_MatrixSurroundStage);
BENCHMARK(BM_MatrixSteerStage);
BENCHMARK(BM_MatrixSurroundStageBlocks);
BENCHMARK(BM_MatrixSteerStageBlocks);
BENCHMARK_CAPTURE(BM_Processor, matrix_surround, SpatialAlgorithm::kMatrixSurround);
BENCHMARK_CAPTURE(BM_Processor, matrix_steer, SpatialAlgorithm::kMatrixSteer);

}  // namespace
}  // namespace halvex
