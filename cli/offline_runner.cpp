#include "cli/offline_runner.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "core/config/json_config.h"
#include "core/dsp/denormal_guard.h"
#include "core/dsp/engine_rate.h"

namespace halvex {
namespace {

// Cap on the one reusable buffer (16 MiB of floats). Only files with very many channels reach it;
// their blocks are shortened, which changes nothing audible: the engine runs frame by frame.
constexpr size_t kMaxBufferSamples = size_t{1} << 22;

int RunWavModeInMemory(const Options& options) {
  const size_t block = options.block == 0 ? kDefaultBlockFrames : options.block;
  if (block > kMaxBlockFrames) {
    std::fprintf(stderr, "error: block too large (at most %zu frames): %zu\n", kMaxBlockFrames, block);
    return 1;
  }

  WavSource source(options.wav_in);
  if (!source.ok()) {
    std::fprintf(stderr, "error: %s\n", source.error().c_str());
    return 1;
  }
  const AudioFormat format = source.Format();
  if (format.sample_rate != kEngineRate) {
    std::fprintf(stderr, "warning: input is %d Hz; DSP is tuned for %d Hz (resampler pending)\n",
                 format.sample_rate, kEngineRate);
  }

  Processor processor;
  ProcessorConfig config = DefaultConfig();
  if (!options.config_path.empty()) {
    JsonConfigProvider provider(options.config_path);
    // On failure Load leaves the provider's last good record, the defaults here.
    if (!provider.Load(config)) {
      std::fprintf(stderr, "config: %s (using defaults/last-good)\n", provider.LastError().c_str());
    }
  }
  processor.Configure(config);

  WavSink sink(options.wav_out, format.sample_rate);
  const OfflineResult result = RunOffline(source, sink, processor, block);
  if (!sink.Finish()) {
    std::fprintf(stderr, "error: %s\n", sink.error().c_str());
    return 1;
  }
  std::fprintf(stderr, "processed %zu frames, %d ch -> %s\n", result.frames, result.channels,
               options.wav_out.c_str());
  return 0;
}

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

int RunWavMode(const Options& options) {
  // Input and output live wholly in memory; a file too big for it must not end in an abort.
  try {
    return RunWavModeInMemory(options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "error: out of memory: %s\n", options.wav_in.c_str());
    return 1;
  }
}

}  // namespace halvex
