// Cost per frame of the echo widener alone and of the whole processor running it.
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/dsp/filters/band_convolver.h"
#include "core/dsp/processor.h"
#include "tests/support/processor_render.h"
#include "core/dsp/echo/spatial_echo.h"

namespace {

using halvex::ProcessorConfig;

constexpr size_t kFrames = 4096;

ProcessorConfig EchoConfig(float stft_expand) {
  ProcessorConfig config = halvex::test::ConfigFor(halvex::SpatialAlgorithm::kEchoWidener);
  config.stft_expand = stft_expand;
  return config;
}

void EchoStage(benchmark::State& state) {
  auto stage = std::make_unique<halvex::EchoWidenerStage>();
  stage->Configure(EchoConfig(static_cast<float>(state.range(0)) / 10.0f));
  halvex::bench::RunStageFrames(state, *stage, halvex::bench::LcgNoise(2 * kFrames));
}
// Arg: stft_expand x 10 (0 leaves the spectral pre-stage off, 4 is the default).
BENCHMARK(EchoStage)->Arg(0)->Arg(4);

// The default table's 13 heard bands, as the stage runs them.
void BandFilters(benchmark::State& state) {
  constexpr size_t kBands = 13;
  const std::vector<float> rows = halvex::bench::LcgNoise(kBands * halvex::BandConvolver::kTaps);
  auto conv = std::make_unique<halvex::BandConvolver>();
  conv->Configure(rows.data(), kBands, static_cast<halvex::SplitLevel>(state.range(0)));
  const std::vector<float> input = halvex::bench::LcgNoise(2 * kFrames);
  std::array<float, halvex::BandConvolver::kMaxFilters> left{};
  std::array<float, halvex::BandConvolver::kMaxFilters> right{};
  for (auto _ : state) {
    for (size_t i = 0; i < kFrames; ++i) {
      conv->Process(input[2 * i], input[2 * i + 1], left.data(), right.data());
      benchmark::DoNotOptimize(left.data());
    }
  }
  halvex::bench::ReportFrames(state, kFrames);
}
// Arg: the build (0 baseline, 1 AVX2, 2 AVX-512); a build the CPU lacks runs the baseline.
BENCHMARK(BandFilters)->Arg(0)->Arg(1)->Arg(2);

void EchoProcessor(benchmark::State& state) {
  halvex::Processor processor;
  processor.Configure(EchoConfig(static_cast<float>(state.range(0)) / 10.0f));
  halvex::bench::RunProcessorBlock(state, processor, halvex::bench::LcgNoise(2 * kFrames));
}
BENCHMARK(EchoProcessor)->Arg(0)->Arg(4);

}  // namespace
