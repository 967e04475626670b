// Cost per frame of the filter toolkit's hot objects.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "bench/bench_support.h"
#include "core/dsp/filters/band_split.h"
#include "core/dsp/filters/filterbank.h"
#include "core/dsp/filters/fir_design.h"
#include "core/dsp/filters/fir_filter.h"

namespace halvex {
namespace {

using Noise = test::UniformNoise<>;

void BM_FirFilter256(benchmark::State& state) {
  FirFilter f;
  f.SetCoeffs(WindowedSincLowpass(3000.0f, 256), 256);
  Noise noise;
  for (auto _ : state) benchmark::DoNotOptimize(f.Process(noise()));
  bench::ReportFrames(state, 1);
}
BENCHMARK(BM_FirFilter256);

// One noise sample a turn split into `kBands` bands.
template <size_t kBands, typename Splitter>
void RunSplits(benchmark::State& state, Splitter& splitter) {
  std::array<float, kBands> out{};
  Noise noise;
  for (auto _ : state) {
    splitter.Split(noise(), out);
    benchmark::DoNotOptimize(out);
  }
  bench::ReportFrames(state, 1);
}

// One channel of the echo widener: 32 bands of 256 taps.
void BM_FirFilterbank32x256(benchmark::State& state) {
  auto bank = std::make_unique<FirFilterbank>();
  std::array<float, kFilterbankMaxBands + 1> edges{};
  for (size_t i = 1; i <= kFilterbankMaxBands; ++i) edges[i] = 750.0f * static_cast<float>(i);
  bank->Configure(LinkwitzRileyFir{}, edges, 32, 256);
  RunSplits<kFilterbankMaxBands>(state, *bank);
}
BENCHMARK(BM_FirFilterbank32x256);

void BM_BandSplitSplit(benchmark::State& state) {
  BandSplit split;
  split.Configure();
  RunSplits<kBandSplitBands>(state, split);
}
BENCHMARK(BM_BandSplitSplit);

void BM_BandSplitApply(benchmark::State& state) {
  BandSplit split;
  split.Configure();
  const std::array<float, kBandSplitBands> gains = {1.0f, 0.9f, 0.8f, 1.1f, 1.2f, 0.7f, 1.0f, 0.5f};
  Noise noise;
  for (auto _ : state) benchmark::DoNotOptimize(split.Apply(noise(), gains));
  bench::ReportFrames(state, 1);
}
BENCHMARK(BM_BandSplitApply);

}  // namespace
}  // namespace halvex
