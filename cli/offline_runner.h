// Offline rendering: an audio file in, the engine, an audio file out, with no daemon.
#pragma once

#include <cstddef>
#include <string>

#include "cli/wav_sink.h"
#include "cli/wav_source.h"
#include "core/dsp/processor.h"

namespace halvex {

// The offline mode's arguments, as the command line gave them.
struct Options {
  std::string wav_in;
  std::string wav_out;
  std::string config_path;  // empty: factory defaults
  size_t block = 2048;      // frames per ProcessBlock call; 0 means the default
  bool no_resample = false; // process other rates as if they were the engine's
  bool loudness = false;    // add the loudness line after the summary
};

constexpr size_t kDefaultBlockFrames = 2048;
// Far beyond any useful block, small enough that the buffer always fits in memory.
constexpr size_t kMaxBlockFrames = size_t{1} << 20;

struct OfflineResult {
  size_t frames = 0;
  int channels = 0;
};

// Pulls blocks from source through processor into sink until the source runs dry.
OfflineResult RunOffline(AudioSource& source, AudioSink& sink, Processor& processor, size_t block);

// Loads the engine configuration for offline use: defaults without a path, and on a failed load
// the provider's last good record after a "config: ... (using defaults/last-good)" line on stderr.
ProcessorConfig LoadOfflineConfig(const std::string& path, std::string* config_line);

// The whole offline mode; prints its own messages on standard error and returns the exit status.
int RunWavMode(const Options& options);

}  // namespace halvex
