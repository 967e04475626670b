// Opening audio files by name: the reader a file needs, and the writer its extension asks for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "cli/wav_sink.h"
#include "cli/wav_source.h"

namespace halvex {

enum class OutputKind { kWavFloat, kFlac24, kVorbis, kOpus, kMp3, kAiff24 };

// The extension of a file name with its dot (".flac"), or empty; case as given.
std::string ExtensionOf(const std::string& path);
// The output format a name's extension asks for, case-insensitive; float WAV without one.
// Error: "unsupported output format: .EXT" (the extension as given).
bool OutputKindFor(const std::string& path, OutputKind& kind, std::string& error);
// The rate a format stores for audio at rate: the same when the format can, else 48000
// (Opus and MP3 know only a few rates, and 48000 is one of them).
int StoredRate(OutputKind kind, int rate);

// ".wav" names go through our own reader, everything else through libsndfile.
// Errors: the readers' ("cannot open: PATH", "not a RIFF/WAVE file", "cannot decode: PATH (...)").
std::unique_ptr<AudioSource> OpenAudioSource(const std::string& path, std::string& error);
// A sink writing path in kind; expected_frames (0 if unknown) helps only the WAV header of a pipe.
// Errors: "cannot write: PATH" and "cannot write: PATH (WHY)" when the format refuses the stream.
std::unique_ptr<AudioSink> OpenAudioSink(const std::string& path, OutputKind kind, int sample_rate, int channels,
                                         uint64_t expected_frames, std::string& error);

}  // namespace halvex
