// An AudioSink that encodes with libsndfile: 24-bit FLAC, Ogg Vorbis, Opus, 320 kbit/s MP3, 24-bit AIFF.
#pragma once

#include <memory>
#include <string>

#include "cli/audio_files.h"
#include "cli/output_file.h"
#include "cli/wav_sink.h"

typedef struct sf_private_tag SNDFILE;

namespace halvex {

// Encodes into an OutputFile: the destination changes only when Finish succeeds. Samples beyond
// full scale are clipped, not wrapped, on the way to integer formats.
class SndfileSink : public AudioSink {
 public:
  // Errors: "cannot write: PATH", "cannot write: PATH (WHY)" when the format refuses the stream.
  SndfileSink(std::string path, OutputKind kind, int sample_rate, int channels);
  bool ok() const { return error_.empty(); }
  void Write(const float* samples, size_t frames, int channels) override;
  bool Finish() override;
  const std::string& error() const override { return error_; }

 private:
  struct Closer {
    void operator()(SNDFILE* file) const;
  };
  std::string path_;
  int channels_;
  OutputFile file_;
  std::unique_ptr<SNDFILE, Closer> sndfile_;  // declared after file_: closed before it
  std::string error_;
};

}  // namespace halvex
