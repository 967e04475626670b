// Cost per frame of the echo widener alone and of the whole processor running it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "core/dsp/spatial_echo.h"

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

ProcessorConfig EchoConfig(float stft_expand) {
  ProcessorConfig config = halvex::DefaultConfig();
  config.spatial_algorithm = halvex::SpatialAlgorithm::kEchoWidener;
  config.stft_expand = stft_expand;
  return config;
}

void ReportRate(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames);
  // Seconds of 48 kHz audio per second of CPU time.
  state.counters["realtime_x"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kFrames / 48000.0, benchmark::Counter::kIsRate);
}

void EchoStage(benchmark::State& state) {
  auto stage = std::make_unique<halvex::EchoWidenerStage>();
  stage->Configure(EchoConfig(static_cast<float>(state.range(0)) / 10.0f));
  const std::vector<float> input = Noise(2 * kFrames);
  for (auto _ : state) {
    for (size_t i = 0; i < kFrames; ++i) {
      const halvex::StageOutput out = stage->Process(input[2 * i], input[2 * i + 1]);
      benchmark::DoNotOptimize(out);
    }
  }
  ReportRate(state);
}
// Arg: stft_expand x 10 (0 leaves the spectral pre-stage off, 4 is the default).
BENCHMARK(EchoStage)->Arg(0)->Arg(4);

void EchoProcessor(benchmark::State& state) {
  halvex::Processor processor;
  processor.Configure(EchoConfig(static_cast<float>(state.range(0)) / 10.0f));
  const std::vector<float> input = Noise(2 * kFrames);
  std::vector<float> block(input.size());
  for (auto _ : state) {
    block = input;
    processor.ProcessBlock(block.data(), kFrames, 2);
    benchmark::DoNotOptimize(block.data());
  }
  ReportRate(state);
}
BENCHMARK(EchoProcessor)->Arg(0)->Arg(4);

}  // namespace
