#include "cli/sndfile_sink.h"

#include <sndfile.h>

#include <utility>

#include "cli/sndfile_source.h"

namespace halvex {
namespace {

// libsndfile's compression levels run from 0 (best) to 1. Measured on this libsndfile (1.2):
// MP3 0 gives 320 kbit/s; Vorbis 0.2 is quality 8 (about 256 kbit/s for stereo music);
// Opus 0.65 about 190 kbit/s for stereo, well past where Opus is transparent.
constexpr double kMp3Level = 0.0;
constexpr double kVorbisLevel = 0.2;
constexpr double kOpusLevel = 0.65;

struct Encoding {
  int format;
  double level;  // negative: the format has none
};

Encoding EncodingFor(OutputKind kind) {
  switch (kind) {
    case OutputKind::kFlac24: return {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, -1.0};
    case OutputKind::kVorbis: return {SF_FORMAT_OGG | SF_FORMAT_VORBIS, kVorbisLevel};
    case OutputKind::kOpus: return {SF_FORMAT_OGG | SF_FORMAT_OPUS, kOpusLevel};
    case OutputKind::kMp3: return {SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, kMp3Level};
    case OutputKind::kAiff24: return {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, -1.0};
    case OutputKind::kWavFloat: break;
  }
  return {SF_FORMAT_WAV | SF_FORMAT_FLOAT, -1.0};
}

}  // namespace

void SndfileSink::Closer::operator()(SNDFILE* file) const { sf_close(file); }

SndfileSink::SndfileSink(std::string path, OutputKind kind, int sample_rate, int channels)
    : path_(std::move(path)), channels_(channels) {
  const Encoding encoding = EncodingFor(kind);
  SF_INFO info{};
  info.samplerate = sample_rate;
  info.channels = channels;
  info.format = encoding.format;
  if (!sf_format_check(&info)) {
    error_ = "cannot write: " + path_ + " (the format cannot hold " + std::to_string(channels) + " channels at " +
             std::to_string(sample_rate) + " Hz)";
    return;
  }
  if (!file_.Open(path_, error_)) return;
  sndfile_.reset(sf_open_fd(file_.fd(), SFM_WRITE, &info, SF_FALSE));
  if (!sndfile_) {
    error_ = "cannot write: " + path_ + " (" + SndfileMessage(nullptr) + ")";
    return;
  }
  sf_command(sndfile_.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (encoding.level >= 0.0) {
    double level = encoding.level;
    sf_command(sndfile_.get(), SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  }
  if (kind == OutputKind::kMp3) {
    int mode = SF_BITRATE_MODE_CONSTANT;
    sf_command(sndfile_.get(), SFC_SET_BITRATE_MODE, &mode, sizeof mode);
  }
}

void SndfileSink::Write(const float* samples, size_t frames, int channels) {
  if (!error_.empty() || !sndfile_ || frames == 0) return;
  if (channels != channels_) {
    error_ = "write failed: " + path_ + " (channel count changed)";
    return;
  }
  const sf_count_t n = static_cast<sf_count_t>(frames);
  if (sf_writef_float(sndfile_.get(), samples, n) != n) {
    error_ = "write failed: " + path_ + " (" + SndfileMessage(sndfile_.get()) + ")";
  }
}

bool SndfileSink::Finish() {
  if (!error_.empty() || !sndfile_) return false;
  // Closing writes what the encoder still holds and the final headers.
  const int closed = sf_close(sndfile_.release());
  if (closed != 0) {
    error_ = "write failed: " + path_;
    return false;
  }
  return file_.Commit(error_);
}

}  // namespace halvex
