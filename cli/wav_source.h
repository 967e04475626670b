// Where the offline loop gets its frames: the interface, and a WAV file read as it is played.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/wav_io.h"
#include "core/dsp/kit/engine_rate.h"

namespace halvex {

struct AudioFormat {
  int32_t sample_rate = kEngineRate;
  int32_t channels = 2;
};

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual AudioFormat Format() const = 0;
  // Fills out with up to frames interleaved frames; returns how many (0 at the end).
  virtual size_t Read(float* out, size_t frames) = 0;
  // How many frames the file says it holds, when it says.
  virtual std::optional<uint64_t> ExpectedFrames() const { return std::nullopt; }
  // Why the source failed or stopped early; empty while all is well.
  virtual const std::string& error() const;
};

// A mono file is delivered as two identical channels so the stereo engine always has a pair.
// Regular files are decoded a block at a time (memory stays small whatever the length); pipes and
// other unseekable files are read whole first.
class WavSource : public AudioSource {
 public:
  explicit WavSource(const std::string& path);
  ~WavSource() override;
  WavSource(const WavSource&) = delete;
  WavSource& operator=(const WavSource&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const override { return error_; }

  AudioFormat Format() const override;
  size_t Read(float* out, size_t frames) override;
  std::optional<uint64_t> ExpectedFrames() const override { return total_frames_; }

 private:
  size_t ReadSamples(float* out, size_t count);

  std::string path_;
  int fd_ = -1;            // streamed from here when open
  WavLayout layout_;
  WavData data_;           // the whole file when it could not be streamed
  std::vector<uint8_t> bytes_;
  uint64_t total_frames_ = 0;
  int32_t channels_ = 2;
  bool mono_ = false;
  uint64_t position_ = 0;  // in frames
  bool ok_ = false;
  std::string error_;
};

// Spreads n mono samples at the start of out over n stereo frames, in place.
void SpreadMonoInPlace(float* out, size_t n);

}  // namespace halvex
