// An AudioSource for every file libsndfile decodes: FLAC, Ogg Vorbis, Opus, MP3, AIFF, W64, RF64, ...
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "cli/wav_source.h"

typedef struct sf_private_tag SNDFILE;

namespace halvex {

// Decodes as it is read; a mono file is delivered as two identical channels, like WavSource.
class SndfileSource : public AudioSource {
 public:
  // Errors: "cannot open: PATH", "cannot decode: PATH (WHY)".
  explicit SndfileSource(const std::string& path);
  // The same from an open descriptor, which the source then owns.
  SndfileSource(int fd, const std::string& name);

  bool ok() const { return file_ != nullptr; }
  const std::string& error() const override { return error_; }
  AudioFormat Format() const override;
  size_t Read(float* out, size_t frames) override;
  std::optional<uint64_t> ExpectedFrames() const override { return expected_; }

 private:
  void OpenDescriptor(int fd);

  struct Closer {
    void operator()(SNDFILE* file) const;
  };
  std::string path_;
  std::unique_ptr<SNDFILE, Closer> file_;
  AudioFormat format_;
  bool mono_ = false;
  std::optional<uint64_t> expected_;
  std::string error_;
};

// libsndfile's message made to read like ours: no "Error : " prefix, lower case, no full stop.
std::string SndfileMessage(SNDFILE* file);

}  // namespace halvex
