// Cost per frame of the spectral engine; every 256th frame carries a whole transform, so each
// iteration runs whole hops.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "bench/bench_support.h"
#include "core/dsp/spectral/ambient_split.h"
#include "core/dsp/echo/spectral_widener.h"
#include "core/dsp/spectral/wola.h"

namespace halvex {
namespace {

using Noise = test::UniformNoise<>;

class Passthrough : public SpectrumTransform {
 public:
  void Apply(StereoSpectrum& s) override { benchmark::DoNotOptimize(s.left_re[7]); }
};

// One channel, forward: the building block of every transform frame.
void BM_Fft1024(benchmark::State& state) {
  auto engine = std::make_unique<WolaEngine>();
  engine->Configure();
  std::array<float, kFftSize> re{};
  std::array<float, kFftSize> im{};
  Noise noise;
  for (float& v : re) v = noise();
  const auto input = re;
  for (auto _ : state) {
    re = input;
    im.fill(0.0f);
    engine->Fft(re, im, false);
    benchmark::DoNotOptimize(re);
  }
}
BENCHMARK(BM_Fft1024);

// One hop of noise a turn through `step(engine, left, right, transform)`.
template <typename Step>
void RunWolaHops(benchmark::State& state, Step step) {
  auto engine = std::make_unique<WolaEngine>();
  engine->Configure();
  Passthrough transform;
  Noise noise;
  for (auto _ : state) {
    for (size_t n = 0; n < kWolaHop; ++n) step(*engine, noise(), noise(), transform);
  }
  bench::ReportFrames(state, kWolaHop);
}

void BM_WolaEngineProcess(benchmark::State& state) {
  RunWolaHops(state, [](WolaEngine& e, float l, float r, Passthrough& t) {
    benchmark::DoNotOptimize(e.Process(l, r, t));
  });
}
BENCHMARK(BM_WolaEngineProcess);

void BM_WolaEngineAnalyse(benchmark::State& state) {
  RunWolaHops(state, [](WolaEngine& e, float l, float r, Passthrough& t) { e.Analyse(l, r, t); });
}
BENCHMARK(BM_WolaEngineAnalyse);

void BM_SpectralWidener(benchmark::State& state) {
  auto widener = std::make_unique<SpectralWidener>();
  widener->Configure(0.4f);
  Noise noise;
  for (auto _ : state) {
    for (size_t n = 0; n < kWolaHop; ++n) {
      const float x = noise();
      benchmark::DoNotOptimize(widener->Process(x, 0.5f * x + 0.3f * noise()));
    }
  }
  bench::ReportFrames(state, kWolaHop);
}
BENCHMARK(BM_SpectralWidener);

// One Update per transform frame: the per-frame figure is the call's cost spread over a hop.
void BM_AmbientSplitUpdate(benchmark::State& state) {
  auto split = std::make_unique<AmbientSplit>();
  split->Configure(4, 341);
  auto spectrum = std::make_unique<StereoSpectrum>();
  Noise noise;
  for (auto* a : {&spectrum->left_re, &spectrum->left_im, &spectrum->right_re, &spectrum->right_im}) {
    for (float& v : *a) v = noise();
  }
  for (auto _ : state) {
    split->Update(*spectrum);
    benchmark::DoNotOptimize(split->ambience_smooth[100]);
  }
  bench::ReportFrames(state, kWolaHop);
}
BENCHMARK(BM_AmbientSplitUpdate);

}  // namespace
}  // namespace halvex
