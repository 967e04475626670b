// Cost per frame of the filter toolkit's hot objects.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "core/dsp/filters/band_split.h"
#include "core/dsp/filters/filterbank.h"
#include "core/dsp/filters/fir_design.h"
#include "core/dsp/filters/fir_filter.h"

namespace halvex {
namespace {

constexpr double kSampleRate = 48000.0;

struct Noise {
  uint32_t s = 1;
  float operator()() {
    s = s * 1664525u + 1013904223u;
    return static_cast<float>(s >> 8) / 8388608.0f - 1.0f;
  }
};

// per_frame (CPU time per frame) and rt_factor (seconds of audio per CPU second at 48 kHz).
void Report(benchmark::State& state, int64_t frames_per_iteration) {
  const double frames = static_cast<double>(state.iterations() * frames_per_iteration);
  state.counters["per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["rt_factor"] = benchmark::Counter(frames / kSampleRate, benchmark::Counter::kIsRate);
}

void BM_FirFilter256(benchmark::State& state) {
  FirFilter f;
  f.SetCoeffs(WindowedSincLowpass(3000.0f, 256), 256);
  Noise noise;
  for (auto _ : state) benchmark::DoNotOptimize(f.Process(noise()));
  Report(state, 1);
}
BENCHMARK(BM_FirFilter256);

// One channel of the echo widener: 32 bands of 256 taps.
void BM_FirFilterbank32x256(benchmark::State& state) {
  auto bank = std::make_unique<FirFilterbank>();
  std::array<float, kFilterbankMaxBands + 1> edges{};
  for (size_t i = 1; i <= kFilterbankMaxBands; ++i) edges[i] = 750.0f * static_cast<float>(i);
  bank->Configure(LinkwitzRileyFir{}, edges, 32, 256);
  std::array<float, kFilterbankMaxBands> out{};
  Noise noise;
  for (auto _ : state) {
    bank->Split(noise(), out);
    benchmark::DoNotOptimize(out);
  }
  Report(state, 1);
}
BENCHMARK(BM_FirFilterbank32x256);

void BM_BandSplitSplit(benchmark::State& state) {
  BandSplit split;
  split.Configure();
  std::array<float, kBandSplitBands> out{};
  Noise noise;
  for (auto _ : state) {
    split.Split(noise(), out);
    benchmark::DoNotOptimize(out);
  }
  Report(state, 1);
}
BENCHMARK(BM_BandSplitSplit);

void BM_BandSplitApply(benchmark::State& state) {
  BandSplit split;
  split.Configure();
  const std::array<float, kBandSplitBands> gains = {1.0f, 0.9f, 0.8f, 1.1f, 1.2f, 0.7f, 1.0f, 0.5f};
  Noise noise;
  for (auto _ : state) benchmark::DoNotOptimize(split.Apply(noise(), gains));
  Report(state, 1);
}
BENCHMARK(BM_BandSplitApply);

}  // namespace
}  // namespace halvex
