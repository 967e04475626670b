// Offline rendering of a 30-second stereo file, and its resampling alone.
// Counters: realtime_x, seconds of the file's audio rendered per CPU second.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "cli/render_job.h"
#include "cli/resampler.h"
#include "cli/wav_io.h"

namespace halvex {
namespace {

constexpr double kSeconds = 30.0;

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && dir[0] != '\0' ? dir : "/tmp") + "/halvex-bench-" +
         std::to_string(::getpid()) + "-" + name;
}

void ReportAudio(benchmark::State& state, double seconds) {
  state.counters["realtime_x"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * seconds, benchmark::Counter::kIsRate);
}

// The two conversions a 44.1 kHz file takes, without the engine between them.
void BM_ResampleThereAndBack(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const size_t frames = static_cast<size_t>(kSeconds * rate);
  const std::vector<float> in = bench::LcgNoise(frames * 2);
  std::vector<float> up, down;
  for (auto _ : state) {
    Resampler there(rate, 48000, 2), back(48000, rate, 2);
    up.clear();
    down.clear();
    for (size_t at = 0; at < frames; at += 4096) there.Process(in.data() + at * 2, std::min<size_t>(4096, frames - at), up);
    there.Flush(up);
    for (size_t at = 0; at < up.size() / 2; at += 4096) back.Process(up.data() + at * 2, std::min<size_t>(4096, up.size() / 2 - at), down);
    back.Flush(down);
    benchmark::DoNotOptimize(down.data());
  }
  ReportAudio(state, kSeconds);
}
BENCHMARK(BM_ResampleThereAndBack)->Arg(44100)->Arg(96000)->Unit(benchmark::kMillisecond);

// The whole render of one file, as `halvex --wav-in IN --wav-out OUT` does it, default engine.
void BM_RenderFile(benchmark::State& state, int rate, const char* out_extension) {
  const std::string in = TempPath("in.wav");
  const std::string out = TempPath(std::string("out") + out_extension);
  WavData data;
  data.sample_rate = rate;
  data.samples = bench::LcgNoise(static_cast<size_t>(kSeconds * rate) * 2, 7, 0.25f);
  std::string error;
  if (!WriteWavFloat32(in, data, error)) state.SkipWithError(error.c_str());
  const ProcessorConfig config = DefaultConfig();
  for (auto _ : state) {
    const bool ok = RenderFile(in, out, RenderSettings{}, [&] { return config; }, [](const std::string&) {}, nullptr);
    if (!ok) state.SkipWithError("render failed");
  }
  std::remove(in.c_str());
  std::remove(out.c_str());
  ReportAudio(state, kSeconds);
}
BENCHMARK_CAPTURE(BM_RenderFile, wav48k_to_wav, 48000, ".wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RenderFile, wav44k_to_wav, 44100, ".wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RenderFile, wav44k_to_flac, 44100, ".flac")->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvex
