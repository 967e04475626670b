// What every engine benchmark shares: a repeatable test signal and per-frame reporting.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <vector>

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

}  // namespace halvex::bench
