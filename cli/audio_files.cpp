#include "cli/audio_files.h"

#include <algorithm>
#include <cctype>

#include "cli/sndfile_sink.h"
#include "cli/sndfile_source.h"

namespace halvex {
namespace {

struct KindName {
  const char* extension;
  OutputKind kind;
};
constexpr KindName kKinds[] = {
    {".wav", OutputKind::kWavFloat}, {".flac", OutputKind::kFlac24}, {".ogg", OutputKind::kVorbis},
    {".opus", OutputKind::kOpus},    {".mp3", OutputKind::kMp3},     {".aiff", OutputKind::kAiff24},
    {".aif", OutputKind::kAiff24},
};

// The rates each fixed-rate format can hold.
constexpr int kOpusRates[] = {8000, 12000, 16000, 24000, 48000};
constexpr int kMp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string ExtensionOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  // A leading dot names a hidden file, not an extension.
  if (dot == std::string::npos || dot <= name_at) return "";
  return path.substr(dot);
}

bool OutputKindFor(const std::string& path, OutputKind& kind, std::string& error) {
  const std::string extension = ExtensionOf(path);
  const std::string lower = Lower(extension);
  // A name without an extension (a device, a pipe, a bare name) gets the float WAV it always got.
  if (extension.empty()) {
    kind = OutputKind::kWavFloat;
    return true;
  }
  for (const KindName& k : kKinds) {
    if (lower == k.extension) {
      kind = k.kind;
      return true;
    }
  }
  error = "unsupported output format: " + extension;
  return false;
}

int StoredRate(OutputKind kind, int rate) {
  auto holds = [rate](const auto& rates) { return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates); };
  if (kind == OutputKind::kOpus && !holds(kOpusRates)) return 48000;
  if (kind == OutputKind::kMp3 && !holds(kMp3Rates)) return 48000;
  return rate;
}

std::unique_ptr<AudioSource> OpenAudioSource(const std::string& path, std::string& error) {
  if (Lower(ExtensionOf(path)) == ".wav") {
    auto source = std::make_unique<WavSource>(path);
    if (source->ok()) return source;
    error = source->error();
    return nullptr;
  }
  auto source = std::make_unique<SndfileSource>(path);
  if (source->ok()) return source;
  error = source->error();
  return nullptr;
}

std::unique_ptr<AudioSink> OpenAudioSink(const std::string& path, OutputKind kind, int sample_rate, int channels,
                                         uint64_t expected_frames, std::string& error) {
  if (kind == OutputKind::kWavFloat) {
    auto sink = std::make_unique<WavSink>(path, sample_rate, channels, expected_frames);
    if (sink->ok()) return sink;
    error = sink->error();
    return nullptr;
  }
  auto sink = std::make_unique<SndfileSink>(path, kind, sample_rate, channels);
  if (sink->ok()) return sink;
  error = sink->error();
  return nullptr;
}

}  // namespace halvex
