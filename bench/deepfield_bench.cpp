// Cost per frame of the deep-field stage and its field synthesiser, and of the whole default chain.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/deep_field/distance_stage.h"
#include "core/dsp/deep_field/field_synth.h"
#include "core/dsp/processor.h"
#include "core/dsp/deep_field/spatial_deepfield.h"

namespace halvex {
namespace {

constexpr size_t kFrames = 4096;

void BM_FieldSynthProcess(benchmark::State& state) {
  DenormalGuard guard;
  auto synth = std::make_unique<FieldSynth>();
  synth->Configure(RenderTarget::kHeadphones, 12.0f, 1.0f);
  const std::vector<float> x = bench::LcgNoise(2 * kFrames, 1);
  for (auto _ : state) {
    for (size_t i = 0; i < kFrames; ++i) {
      const float l = 0.05f * x[2 * i];
      const float r = 0.05f * x[2 * i + 1];
      const std::array<FieldSend, 3> sends{{{l, r}, {r, l}, {l, -r}}};
      benchmark::DoNotOptimize(synth->Process(sends, {l, r}));
    }
  }
  bench::ReportFrames(state, kFrames);
}
BENCHMARK(BM_FieldSynthProcess);

// The same field a block at a time, as the deep-field stage drives it.
void BM_FieldSynthProcessBlock(benchmark::State& state) {
  DenormalGuard guard;
  constexpr size_t kB = FieldSynth::kVelvetBlock;
  auto synth = std::make_unique<FieldSynth>();
  synth->Configure(RenderTarget::kHeadphones, 12.0f, 1.0f);
  const std::vector<float> x = bench::LcgNoise(2 * kFrames, 1);
  alignas(32) SendRows rows;
  std::array<StereoSample, kB> out;
  for (auto _ : state) {
    for (size_t at = 0; at < kFrames; at += kB) {
      for (size_t i = 0; i < kB; ++i) {
        const float l = 0.05f * x[2 * (at + i)];
        const float r = 0.05f * x[2 * (at + i) + 1];
        const std::array<float, kSendRows> row{l, r, r, l, l, -r, l, r};
        for (size_t k = 0; k < kSendRows; ++k) rows[k][i] = row[k];
      }
      synth->ProcessBlock(rows, out);
      benchmark::DoNotOptimize(out.data());
    }
  }
  bench::ReportFrames(state, kFrames);
}
BENCHMARK(BM_FieldSynthProcessBlock);

// range 0: the default (the gate analyses the input); range 1: recycle 1, the gate switched off.
void BM_DeepFieldStage(benchmark::State& state) {
  DenormalGuard guard;
  auto stage = std::make_unique<DeepFieldStage>();
  ProcessorConfig config = DefaultConfig();
  if (state.range(0) == 1) config.recycle = 1.0f;
  stage->Configure(config);
  const std::vector<float> x = bench::LcgNoise(2 * kFrames, 2);
  for (auto _ : state) {
    for (size_t i = 0; i < kFrames; ++i) {
      benchmark::DoNotOptimize(stage->Process(x[2 * i], x[2 * i + 1]));
    }
  }
  bench::ReportFrames(state, kFrames);
}
BENCHMARK(BM_DeepFieldStage)->Arg(0)->Arg(1);

void BM_ProcessorDefault(benchmark::State& state) {
  DenormalGuard guard;
  Processor processor;
  processor.Configure(DefaultConfig());
  const std::vector<float> x = bench::LcgNoise(2 * kFrames, 3);
  std::vector<float> block(x.size());
  for (auto _ : state) {
    block = x;
    processor.ProcessBlock(block.data(), kFrames, 2);
    benchmark::DoNotOptimize(block.data());
  }
  bench::ReportFrames(state, kFrames);
}
BENCHMARK(BM_ProcessorDefault);

// Silence right after loud input: while the field decays, no path may slow down. Compare with
// BM_ProcessorDefault, and with range 1 (after 60 s, when the output has gone exactly silent).
void BM_ProcessorSilenceAfterLoud(benchmark::State& state) {
  DenormalGuard guard;
  Processor processor;
  ProcessorConfig config = DefaultConfig();
  processor.Configure(config);
  std::vector<float> loud = bench::LcgNoise(2 * 48000, 4);
  for (float& v : loud) v *= 2.0f;
  processor.ProcessBlock(loud.data(), 48000, 2);
  std::vector<float> block(kFrames * 2, 0.0f);
  for (int64_t s = 0; s < state.range(0) * 60 * 48000; s += kFrames) {
    processor.ProcessBlock(block.data(), kFrames, 2);
  }
  for (auto _ : state) {
    std::fill(block.begin(), block.end(), 0.0f);
    processor.ProcessBlock(block.data(), kFrames, 2);
    benchmark::DoNotOptimize(block.data());
  }
  bench::ReportFrames(state, kFrames);
}
BENCHMARK(BM_ProcessorSilenceAfterLoud)->Arg(0)->Arg(1);

}  // namespace
}  // namespace halvex
