// What every engine benchmark shares: a repeatable test signal and per-frame reporting.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/dsp/processor.h"
#include "core/dsp/spatial_stage.h"
#include "tests/support/test_signals.h"

namespace halvex::bench {

// Interleaved white noise from the engine's own LCG, so every run sees the same input.
inline std::vector<float> LcgNoise(size_t samples, uint32_t seed = 12345, float amplitude = 0.5f) {
  return test::FullScaleNoiseSamples(samples, seed, amplitude);
}

// ns_per_frame, and realtime_x: seconds of 48 kHz audio rendered per CPU second.
inline void ReportFrames(benchmark::State& state, size_t frames_per_iteration) {
  const double frames = static_cast<double>(state.iterations()) * frames_per_iteration;
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["ns_per_frame"] =
      benchmark::Counter(frames * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["realtime_x"] = benchmark::Counter(frames / 48000.0, benchmark::Counter::kIsRate);
}

// `stage` over `input` (interleaved stereo), one Process call per frame, every iteration.
inline void RunStageFrames(benchmark::State& state, SpatialStage& stage,
                           const std::vector<float>& input) {
  const size_t frames = input.size() / 2;
  for (auto _ : state) {
    for (size_t i = 0; i < frames; ++i) {
      const StageOutput out = stage.Process(input[2 * i], input[2 * i + 1]);
      benchmark::DoNotOptimize(out);
    }
  }
  ReportFrames(state, frames);
}

// `input` (interleaved stereo) through `processor` in one block call per iteration, each time
// from a fresh copy as a caller's buffer would be (the copy is a tiny share of the cost).
inline void RunProcessorBlock(benchmark::State& state, Processor& processor,
                              const std::vector<float>& input) {
  std::vector<float> block(input.size());
  for (auto _ : state) {
    block = input;
    processor.ProcessBlock(block.data(), input.size() / 2, 2);
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  ReportFrames(state, input.size() / 2);
}

}  // namespace halvex::bench
