#include "cli/offline_runner.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include <unistd.h>

#include "cli/progress_line.h"
#include "cli/render_job.h"
#include "core/config/json_config.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/kit/engine_rate.h"

namespace halvex {
namespace {

// Cap on the one reusable buffer (16 MiB of floats). Only files with very many channels reach it;
// their blocks are shortened, which changes nothing audible: the engine runs frame by frame.
constexpr size_t kMaxBufferSamples = size_t{1} << 22;

}  // namespace

OfflineResult RunOffline(AudioSource& source, AudioSink& sink, Processor& processor, size_t block) {
  OfflineResult result;
  const int k = source.Format().channels;
  result.channels = k;
  if (k <= 0 || block == 0) return result;
  const size_t channels = static_cast<size_t>(k);
  // Dividing instead of multiplying keeps block x channels from overflowing.
  const size_t frames_per_block = std::max<size_t>(1, std::min(block, kMaxBufferSamples / channels));
  std::vector<float> buffer(frames_per_block * channels, 0.0f);

  DenormalGuard guard;
  for (;;) {
    const size_t n = source.Read(buffer.data(), frames_per_block);
    if (n == 0) break;
    processor.ProcessBlock(buffer.data(), n, channels);
    sink.Write(buffer.data(), n, k);
    result.frames += n;
  }
  return result;
}

ProcessorConfig LoadOfflineConfig(const std::string& path, std::string* config_line) {
  ProcessorConfig config = DefaultConfig();
  if (path.empty()) return config;
  JsonConfigProvider provider(path);
  // On failure Load leaves the provider's last good record, the defaults here.
  if (!provider.Load(config) && config_line != nullptr) {
    *config_line = "config: " + provider.LastError() + " (using defaults/last-good)";
  }
  return config;
}

int RunWavMode(const Options& options) {
  ProgressLine progress(STDERR_FILENO, 1);
  const LineOut say = [&](const std::string& line) { progress.Print(line); };
  const ConfigSource config = [&] {
    std::string line;
    const ProcessorConfig loaded = LoadOfflineConfig(options.config_path, &line);
    if (!line.empty()) say(line);
    return loaded;
  };
  const ProgressOut report = [&](double fraction, double seconds) {
    progress.Report(0, fraction, seconds);
    progress.Tick();
  };
  RenderSettings settings;
  settings.block = options.block;
  settings.resample = !options.no_resample;
  settings.loudness = options.loudness;
  // Only unseekable inputs are held in memory; one too big for it must not end in an abort.
  try {
    const bool ok = RenderFile(options.wav_in, options.wav_out, settings, config, say, report);
    progress.Clear();
    return ok ? 0 : 1;
  } catch (const std::bad_alloc&) {
    say("error: out of memory: " + options.wav_in);
    return 1;
  }
}

}  // namespace halvex
