// Cost of the engine per frame: the output stage alone, and every algorithm frame by frame and in
// whole 2048-frame blocks. Counters: CPU time per frame and real-time factor
// (seconds of 48 kHz audio processed per CPU second).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/output_stage.h"
#include "core/dsp/processor.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

constexpr double kRate = 48000.0;
constexpr size_t kBlockFrames = 2048;

// Music-like test input: two detuned tones plus a little deterministic noise.
std::vector<float> MakeInput(size_t frames) {
  std::vector<float> samples(frames * 2);
  uint32_t seed = 12345;
  for (size_t i = 0; i < frames; ++i) {
    seed = test::LcgStep(seed);
    const float noise = 0.5f * test::UniformFrom(seed);
    const double t = static_cast<double>(i) / kRate;
    samples[2 * i] = static_cast<float>(0.4 * std::sin(2 * M_PI * 220.0 * t)) + 0.05f * noise;
    samples[2 * i + 1] = static_cast<float>(0.4 * std::sin(2 * M_PI * 331.0 * t)) - 0.05f * noise;
  }
  return samples;
}

void SetFrameCounters(benchmark::State& state, size_t frames_per_iteration) {
  const double frames = static_cast<double>(state.iterations()) * static_cast<double>(frames_per_iteration);
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["time_per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["realtime_x"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}

void BM_OutputStage(benchmark::State& state) {
  const ProcessorConfig defaults = DefaultConfig();
  OutputParams params;
  params.treble_shelf_hz = defaults.treble_shelf_hz;
  params.treble_shelf_db = defaults.treble_shelf_db;
  params.bass_shelf_db = -3.0f;  // every filter on
  params.haas_delay_samples = 480;
  OutputStage stage;
  stage.Configure(params);
  const std::vector<float> input = MakeInput(kBlockFrames);
  std::vector<StereoSample> frames(kBlockFrames);
  DenormalGuard guard;
  for (auto _ : state) {
    for (size_t i = 0; i < kBlockFrames; ++i) frames[i] = {input[2 * i], input[2 * i + 1]};
    for (size_t at = 0; at < kBlockFrames; at += kMaxStageBlock) {
      stage.ProcessBlock(frames.data() + at, kMaxStageBlock);
    }
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, kBlockFrames);
}
BENCHMARK(BM_OutputStage);

// The defaults with the spatial algorithm whose value is the benchmark's argument.
ProcessorConfig ConfigForArg(const benchmark::State& state) {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = static_cast<SpatialAlgorithm>(state.range(0));
  return config;
}

// Arg: the spatial algorithm's value.
void BM_ProcessFrame(benchmark::State& state) {
  Processor processor;
  processor.Configure(ConfigForArg(state));
  const std::vector<float> input = MakeInput(kBlockFrames);
  DenormalGuard guard;
  for (auto _ : state) {
    for (size_t i = 0; i < kBlockFrames; ++i) {
      benchmark::DoNotOptimize(processor.ProcessFrame(input[2 * i], input[2 * i + 1]));
    }
  }
  SetFrameCounters(state, kBlockFrames);
}
BENCHMARK(BM_ProcessFrame)->ArgName("algorithm")->DenseRange(0, 4);

// Whole 2048-frame blocks, as the command-line tool runs them (the daemon runs its cycles the same
// way, planar). Arg: the spatial algorithm's value; the default configuration is deep_field.
void BM_ProcessBlock(benchmark::State& state) {
  Processor processor;
  processor.Configure(ConfigForArg(state));
  const std::vector<float> input = MakeInput(kBlockFrames);
  std::vector<float> block(input.size());
  DenormalGuard guard;
  for (auto _ : state) {
    // Fresh input every time, as a caller's buffer would be; the copy is a tiny share of the cost.
    block = input;
    processor.ProcessBlock(block.data(), kBlockFrames, 2);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, kBlockFrames);
}
BENCHMARK(BM_ProcessBlock)->ArgName("algorithm")->DenseRange(0, 4);

// The same block after the caches were flushed by other work, as the daemon meets a cycle when
// the rest of the machine ran between two: set against BM_ProcessBlock, the price of reloading
// the engine's state from memory. Arg: the spatial algorithm's value.
void BM_ProcessBlockCold(benchmark::State& state) {
  Processor processor;
  processor.Configure(ConfigForArg(state));
  const std::vector<float> input = MakeInput(kBlockFrames);
  std::vector<float> block(input.size());
  // Larger than the last-level cache share of a core here.
  std::vector<uint64_t> other(size_t{32} << 20 >> 3, 1);
  DenormalGuard guard;
  for (auto _ : state) {
    state.PauseTiming();
    for (uint64_t& v : other) v += 1;
    benchmark::ClobberMemory();
    block = input;
    state.ResumeTiming();
    processor.ProcessBlock(block.data(), kBlockFrames, 2);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, kBlockFrames);
}
BENCHMARK(BM_ProcessBlockCold)->ArgName("algorithm")->DenseRange(0, 4);

}  // namespace
}  // namespace halvex
