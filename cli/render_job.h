// Rendering one file: any readable format in, the format its extension names out, at the file's rate.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "cli/offline_runner.h"
#include "core/config/config_defaults.h"

namespace halvex {

struct RenderSettings {
  size_t block = kDefaultBlockFrames;  // 0 means the default
  bool resample = true;                // false: other rates are processed as if they were 48000 Hz
  bool loudness = false;               // add the loudness line after the summary
};

// What a render says as it goes: each call is one line without its newline.
using LineOut = std::function<void(const std::string& line)>;
// Called from the rendering thread with the fraction of the input done (negative when the input's
// length is unknown) and the seconds of input audio rendered since the previous call.
using ProgressOut = std::function<void(double fraction, double audio_seconds)>;
// Gives the engine configuration; called once the input has been opened.
using ConfigSource = std::function<ProcessorConfig()>;

// Renders input into output, streaming: memory stays small whatever the length, and output only
// appears, whole, when everything succeeded. Prints its notes, the summary line
// "processed N frames, K ch -> OUTPUT" or one "error: ..." line through say; returns success.
bool RenderFile(const std::string& input, const std::string& output, const RenderSettings& settings,
                const ConfigSource& config, const LineOut& say, const ProgressOut& progress);

}  // namespace halvex
