// Cost of one daemon cycle through the cross-fade, at the quanta a user may choose: steady (one
// processor) and during changes (two processors while a cross-over runs). The time columns give
// the mean cycle; counters: the worst cycle's wall time in microseconds, and the worst as a share
// of the cycle's own duration (above 1 the cycle would have missed its deadline).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include "bench/bench_support.h"
#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "daemon/processor_crossfade.h"

namespace halvex {
namespace {

// Args: the spatial algorithm's value, the cycle length in frames, 1 to keep a change running.
void BM_DaemonCycle(benchmark::State& state) {
  const auto frames = static_cast<uint32_t>(state.range(1));
  const bool changing = state.range(2) != 0;
  std::array<Processor, 2> processors;
  for (size_t i = 0; i < processors.size(); ++i) {
    ProcessorConfig config = DefaultConfig();
    config.spatial_algorithm = static_cast<SpatialAlgorithm>(state.range(0));
    config.wet_dry_ratio = 0.5f + 0.05f * static_cast<float>(i);
    processors[i].Configure(config);
  }
  ProcessorCrossfade crossfade;
  crossfade.Publish(&processors[0]);
  const std::vector<float> left = bench::LcgNoise(frames, 1), right = bench::LcgNoise(frames, 2);
  std::vector<float> out_left(frames), out_right(frames);
  DenormalGuard denormals;
  size_t next = 1;
  double worst_ns = 0.0;
  for (auto _ : state) {
    // A new change as soon as the last one is over: every cycle runs two processors but the
    // one cycle in which a change completes.
    if (changing && !crossfade.Changing()) {
      crossfade.Publish(&processors[next]);
      next ^= 1;
    }
    const auto start = std::chrono::steady_clock::now();
    crossfade.BeginCycle(true);
    for (uint32_t at = 0; at < frames; at += ProcessorCrossfade::kMaxFrames) {
      const uint32_t n = std::min(ProcessorCrossfade::kMaxFrames, frames - at);
      crossfade.Process(left.data() + at, right.data() + at, out_left.data() + at,
                        out_right.data() + at, n);
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    worst_ns = std::max(worst_ns, took.count());
    benchmark::ClobberMemory();
  }
  const double cycle_us = frames / 48000.0 * 1e6;
  state.counters["worst_us"] = worst_ns / 1000.0;
  state.counters["worst_share"] = worst_ns / 1000.0 / cycle_us;
}
BENCHMARK(BM_DaemonCycle)
    ->ArgNames({"algorithm", "frames", "changing"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {256, 2048}, {0, 1}});

}  // namespace
}  // namespace halvex
