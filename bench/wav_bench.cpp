// Reading and writing a 60-second stereo file: 16-bit and float input, float output.
// Counters: CPU time per frame and real-time factor (seconds of 48 kHz audio per CPU second).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/wav_io.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

constexpr int kRate = 48000;
constexpr size_t kFrames = 60 * kRate;

WavData SixtySeconds() {
  WavData data;
  data.sample_rate = kRate;
  data.channels = 2;
  data.samples.resize(kFrames * 2);
  uint32_t seed = 1;
  for (float& s : data.samples) {
    seed = test::LcgStep(seed);
    s = test::UniformFrom(seed);
  }
  return data;
}

// A 16-bit PCM file of the same length, written byte by byte.
void WritePcm16(const std::string& path, const WavData& data) {
  const uint32_t bytes = static_cast<uint32_t>(data.samples.size() * 2);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  auto u32 = [&](uint32_t v) { std::fwrite(&v, 4, 1, f); };
  auto u16 = [&](uint16_t v) { std::fwrite(&v, 2, 1, f); };
  std::fwrite("RIFF", 1, 4, f);
  u32(36 + bytes);
  std::fwrite("WAVEfmt ", 1, 8, f);
  u32(16);
  u16(1);
  u16(2);
  u32(kRate);
  u32(kRate * 4);
  u16(4);
  u16(16);
  std::fwrite("data", 1, 4, f);
  u32(bytes);
  for (float s : data.samples) u16(static_cast<uint16_t>(static_cast<int16_t>(s * 32767.0f)));
  std::fclose(f);
}

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/halvex-bench-" +
         std::to_string(::getpid()) + "-" + name;
}

void SetFrameCounters(benchmark::State& state) {
  const double frames = static_cast<double>(state.iterations()) * static_cast<double>(kFrames);
  state.counters["time_per_frame"] =
      benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["realtime_x"] = benchmark::Counter(frames / kRate, benchmark::Counter::kIsRate);
}

void BM_WriteWavFloat32(benchmark::State& state) {
  const WavData data = SixtySeconds();
  const std::string path = TempPath("write.wav");
  std::string error;
  for (auto _ : state) {
    if (!WriteWavFloat32(path, data, error)) state.SkipWithError(error.c_str());
  }
  std::remove(path.c_str());
  SetFrameCounters(state);
}
BENCHMARK(BM_WriteWavFloat32)->Unit(benchmark::kMillisecond);

// Reads back the file `path`, which the caller wrote; removes it afterwards.
void ReadWavRepeatedly(benchmark::State& state, const std::string& path) {
  std::string error;
  for (auto _ : state) {
    WavData out;
    if (!ReadWav(path, out, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(out.samples.data());
  }
  std::remove(path.c_str());
  SetFrameCounters(state);
}

void BM_ReadWavFloat32(benchmark::State& state) {
  const std::string path = TempPath("float.wav");
  std::string error;
  if (!WriteWavFloat32(path, SixtySeconds(), error)) state.SkipWithError(error.c_str());
  ReadWavRepeatedly(state, path);
}
BENCHMARK(BM_ReadWavFloat32)->Unit(benchmark::kMillisecond);

void BM_ReadWavPcm16(benchmark::State& state) {
  const std::string path = TempPath("pcm16.wav");
  WritePcm16(path, SixtySeconds());
  ReadWavRepeatedly(state, path);
}
BENCHMARK(BM_ReadWavPcm16)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvex
