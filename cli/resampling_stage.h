// The engine runs at 48000 Hz: a source seen at that rate, and a sink that takes it back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cli/resampler.h"
#include "cli/wav_sink.h"
#include "cli/wav_source.h"

namespace halvex {

// Delivers another source's frames converted to engine_rate. When the file ends it goes on with
// silence, as time goes on after a track, until the stream is long enough that converting it back
// gives at least the file's own frame count (pad_for_return); the sink cuts it there exactly.
class ResampledSource : public AudioSource {
 public:
  ResampledSource(AudioSource& inner, int engine_rate, bool pad_for_return);
  bool ok() const { return resampler_.ok(); }
  const std::string& error() const override { return inner_.error(); }

  AudioFormat Format() const override;
  size_t Read(float* out, size_t frames) override;
  std::optional<uint64_t> ExpectedFrames() const override;

  // Frames read from the inner source so far, and whether it has ended.
  uint64_t InputFrames() const { return input_frames_; }
  bool InputEnded() const { return ended_; }

 private:
  void Refill();

  AudioSource& inner_;
  int engine_rate_;
  bool pad_for_return_;
  size_t channels_;
  Resampler resampler_;
  std::vector<float> chunk_;      // read from the file
  std::vector<float> converted_;  // at the engine rate, not yet delivered
  size_t converted_at_ = 0;       // frames of converted_ already delivered
  uint64_t input_frames_ = 0;
  uint64_t delivered_ = 0;
  uint64_t padded_length_ = 0;    // frames to deliver in all, once the file has ended
  bool ended_ = false;
};

// Converts the engine's frames back to the file's rate and passes on exactly as many frames as the
// source read from the file: soxr's output is time-aligned, so the count decides the cut, not luck.
class ResampledSink : public AudioSink {
 public:
  ResampledSink(AudioSink& inner, const ResampledSource& clock, int engine_rate, int file_rate, int channels);
  bool ok() const { return resampler_.ok(); }
  void Write(const float* samples, size_t frames, int channels) override;
  bool Finish() override;
  const std::string& error() const override { return inner_.error(); }
  uint64_t FramesWritten() const { return written_; }

 private:
  void Convert(bool flush);
  void Pass(const float* samples, size_t frames);

  AudioSink& inner_;
  const ResampledSource& clock_;
  size_t channels_;
  Resampler resampler_;
  std::vector<float> pending_;    // engine frames waiting for a whole chunk
  std::vector<float> converted_;
  uint64_t written_ = 0;
};

}  // namespace halvex
