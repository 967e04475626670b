// Where the offline loop gets its frames: the interface, and a WAV file decoded whole into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/wav_io.h"

namespace halvex {

struct AudioFormat {
  int32_t sample_rate = 48000;
  int32_t channels = 2;
};

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual AudioFormat Format() const = 0;
  // Fills out with up to frames interleaved frames; returns how many (0 at the end).
  virtual size_t Read(float* out, size_t frames) = 0;
};

// A mono file is delivered as two identical channels so the stereo engine always has a pair.
class WavSource : public AudioSource {
 public:
  explicit WavSource(const std::string& path);
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  AudioFormat Format() const override;
  size_t Read(float* out, size_t frames) override;

 private:
  WavData data_;
  int32_t channels_ = 2;
  bool mono_ = false;
  size_t position_ = 0;
  bool ok_ = false;
  std::string error_;
};

}  // namespace halvex
