// Cost per frame of the experimental stage alone and of the whole processor running it.
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include <cstdint>
#include <vector>

#include "core/dsp/processor.h"
#include "tests/support/processor_render.h"
#include "core/dsp/experimental/spatial_experimental.h"

namespace {

using halvex::ProcessorConfig;

constexpr size_t kFrames = 4096;

// Arg 0: the defaults; 1: every option on (speakers, direct spread, depth 4).
ProcessorConfig ExperimentalConfig(int64_t variant) {
  ProcessorConfig config = halvex::test::ConfigFor(halvex::SpatialAlgorithm::kExperimental);
  if (variant == 1) {
    config.render_target = halvex::RenderTarget::kSpeakers;
    config.direct_spread = 1.0f;
    config.ambience_depth = 4.0f;
  }
  return config;
}

void ExperimentalStage(benchmark::State& state) {
  auto stage = std::make_unique<halvex::ExperimentalStage>();
  stage->Configure(ExperimentalConfig(state.range(0)));
  halvex::bench::RunStageFrames(state, *stage, halvex::bench::LcgNoise(2 * kFrames));
}
BENCHMARK(ExperimentalStage)->Arg(0)->Arg(1);

void ExperimentalProcessor(benchmark::State& state) {
  halvex::Processor processor;
  processor.Configure(ExperimentalConfig(state.range(0)));
  halvex::bench::RunProcessorBlock(state, processor, halvex::bench::LcgNoise(2 * kFrames));
}
BENCHMARK(ExperimentalProcessor)->Arg(0)->Arg(1);

}  // namespace
