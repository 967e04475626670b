#include "cli/render_job.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>

#include "cli/audio_files.h"
#include "cli/frame_tap.h"
#include "cli/loudness_meter.h"
#include "cli/offline_runner.h"
#include "cli/resampling_stage.h"
#include "core/dsp/kit/engine_rate.h"
#include "core/dsp/processor.h"

namespace halvex {
namespace {

// soxr keeps per-channel filter state; far more channels than any music file has would need
// gigabytes, so such files must take --no-resample.
constexpr int kMaxResampledChannels = 64;
// Rates the resampler takes: beyond them one block of input would convert into huge buffers (a
// header saying 1 Hz is 48000 times the data); real files are far inside.
constexpr int kMinResampledRate = 1000;
constexpr int kMaxResampledRate = 1536000;

std::string Printf(const char* format, auto... args) {
  const int n = std::snprintf(nullptr, 0, format, args...);
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

bool Fail(const LineOut& say, const std::string& message) {
  say("error: " + message);
  return false;
}

}  // namespace

bool RenderFile(const std::string& input, const std::string& output, const RenderSettings& settings,
                const ConfigSource& config, const LineOut& say, const ProgressOut& progress) {
  const size_t block = settings.block == 0 ? kDefaultBlockFrames : settings.block;
  if (block > kMaxBlockFrames) return Fail(say, Printf("block too large (at most %zu frames): %zu", kMaxBlockFrames, block));
  OutputKind kind;
  std::string error;
  if (!OutputKindFor(output, kind, error)) return Fail(say, error);

  std::unique_ptr<AudioSource> file = OpenAudioSource(input, error);
  if (!file) return Fail(say, error);
  const AudioFormat format = file->Format();
  const int rate = format.sample_rate;
  const int channels = format.channels;
  const bool resample = settings.resample && rate != kEngineRate;
  const int stored_rate = resample ? StoredRate(kind, rate) : rate;
  if (resample && (rate < kMinResampledRate || rate > kMaxResampledRate)) {
    return Fail(say, Printf("cannot resample %d Hz (only %d to %d Hz; try --no-resample)", rate, kMinResampledRate,
                            kMaxResampledRate));
  }
  if (resample && channels > kMaxResampledChannels) {
    return Fail(say, Printf("too many channels to resample (at most %d; try --no-resample): %d", kMaxResampledChannels, channels));
  }

  if (rate != kEngineRate && !resample) {
    say(Printf("warning: input is %d Hz; DSP is tuned for %d Hz (resampler pending)", rate, kEngineRate));
  } else if (resample && stored_rate == rate) {
    say(Printf("note: input is %d Hz; processed at %d Hz and resampled back", rate, kEngineRate));
  } else if (resample) {
    say(Printf("note: input is %d Hz; processed and written at %d Hz (%s cannot hold %d Hz)", rate, kEngineRate,
               ExtensionOf(output).c_str(), rate));
  }

  Processor processor;
  processor.Configure(config());

  const std::optional<uint64_t> expected = file->ExpectedFrames();
  const uint64_t expected_out = !expected ? 0 : stored_rate == rate ? *expected
                                                                    : *expected * stored_rate / rate;
  std::unique_ptr<AudioSink> sink = OpenAudioSink(output, kind, stored_rate, channels, expected_out, error);
  if (!sink) return Fail(say, error);

  // Taps: the input's loudness and progress at the file's rate, the output's where it is written.
  std::unique_ptr<LoudnessMeter> in_meter, out_meter;
  if (settings.loudness) {
    in_meter = std::make_unique<LoudnessMeter>(channels, rate);
    out_meter = std::make_unique<LoudnessMeter>(channels, stored_rate);
  }
  uint64_t read_frames = 0;
  TappedSource tapped_file(*file, [&](const float* samples, size_t frames) {
    if (in_meter) in_meter->Add(samples, frames);
    read_frames += frames;
    if (progress) {
      progress(expected && *expected > 0 ? static_cast<double>(read_frames) / static_cast<double>(*expected) : -1.0,
               static_cast<double>(frames) / rate);
    }
  });
  uint64_t written_frames = 0;
  TappedSink tapped_sink(*sink, [&](const float* samples, size_t frames) {
    if (out_meter) out_meter->Add(samples, frames);
    written_frames += frames;
  });

  AudioSource* engine_source = &tapped_file;
  AudioSink* engine_sink = &tapped_sink;
  std::optional<ResampledSource> up;
  std::optional<ResampledSink> down;
  if (resample) {
    up.emplace(tapped_file, kEngineRate, /*pad_for_return=*/stored_rate == rate);
    engine_source = &*up;
    if (stored_rate == rate) {
      down.emplace(tapped_sink, *up, kEngineRate, rate, channels);
      engine_sink = &*down;
    }
    if (!up->ok() || (down && !down->ok())) return Fail(say, Printf("cannot resample %d Hz", rate));
  }

  RunOffline(*engine_source, *engine_sink, processor, block);
  if (!file->error().empty()) return Fail(say, file->error());
  if (!engine_sink->Finish()) return Fail(say, sink->error());

  if (expected && read_frames < *expected) {
    say(Printf("warning: input ended early, after %" PRIu64 " of %" PRIu64 " frames: %s", read_frames, *expected,
               input.c_str()));
  }
  say(Printf("processed %zu frames, %d ch -> %s", static_cast<size_t>(written_frames), channels, output.c_str()));
  if (settings.loudness) {
    say(Printf("loudness: in %.1f LUFS, out %.1f LUFS, true peak %.1f dBTP", in_meter->IntegratedLufs(),
               out_meter->IntegratedLufs(), out_meter->TruePeakDb()));
  }
  return true;
}

}  // namespace halvex
