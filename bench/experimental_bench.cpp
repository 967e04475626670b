// Cost per frame of the experimental ambience stage alone and of the whole processor running it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "core/dsp/spatial_experimental.h"

namespace {

using halvex::ProcessorConfig;

constexpr size_t kFrames = 4096;

std::vector<float> Noise(size_t samples) {
  std::vector<float> out(samples);
  uint32_t s = 12345;
  for (float& v : out) {
    s = s * 1664525u + 1013904223u;
    v = static_cast<float>(static_cast<int32_t>(s)) * (0.5f / 2147483648.0f);
  }
  return out;
}

// Arg 0: the defaults; 1: every option on (speakers, direct spread, depth 4).
ProcessorConfig ExperimentalConfig(int64_t variant) {
  ProcessorConfig config = halvex::DefaultConfig();
  config.spatial_algorithm = halvex::SpatialAlgorithm::kExperimental;
  if (variant == 1) {
    config.render_target = halvex::RenderTarget::kSpeakers;
    config.direct_spread = 1.0f;
    config.ambience_depth = 4.0f;
  }
  return config;
}

void ReportRate(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
  // Seconds of 48 kHz audio per second of CPU time.
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kFrames / 48000.0, benchmark::Counter::kIsRate);
}

void ExperimentalStage(benchmark::State& state) {
  auto stage = std::make_unique<halvex::ExperimentalStage>();
  stage->Configure(ExperimentalConfig(state.range(0)));
  const std::vector<float> input = Noise(2 * kFrames);
  for (auto _ : state) {
    for (size_t i = 0; i < kFrames; ++i) {
      const halvex::StageOutput out = stage->Process(input[2 * i], input[2 * i + 1]);
      benchmark::DoNotOptimize(out);
    }
  }
  ReportRate(state);
}
BENCHMARK(ExperimentalStage)->Arg(0)->Arg(1);

void ExperimentalProcessor(benchmark::State& state) {
  halvex::Processor processor;
  processor.Configure(ExperimentalConfig(state.range(0)));
  const std::vector<float> input = Noise(2 * kFrames);
  std::vector<float> block(input.size());
  for (auto _ : state) {
    block = input;
    processor.ProcessBlock(block.data(), kFrames, 2);
    benchmark::DoNotOptimize(block.data());
  }
  ReportRate(state);
}
BENCHMARK(ExperimentalProcessor)->Arg(0)->Arg(1);

}  // namespace
