// Where the offline loop puts its frames: the interface, and a sink that writes one float WAV at the end.
#pragma once

#include <cstddef>
#include <string>

#include "cli/wav_io.h"

namespace halvex {

class AudioSink {
 public:
  virtual ~AudioSink() = default;
  virtual void Write(const float* samples, size_t frames, int channels) = 0;
  // Delivers everything written; false on failure.
  virtual bool Finish() = 0;
};

// Collects in memory and touches the file system only in Finish.
class WavSink : public AudioSink {
 public:
  WavSink(std::string path, int sample_rate);
  void Write(const float* samples, size_t frames, int channels) override;
  bool Finish() override;
  const std::string& error() const { return error_; }

 private:
  std::string path_;
  WavData data_;
  std::string error_;
};

}  // namespace halvex
