// Watching the frames that pass a source or a sink (meters, progress) without changing them.
#pragma once

#include <functional>
#include <optional>

#include "cli/wav_sink.h"
#include "cli/wav_source.h"

namespace halvex {

using FrameTap = std::function<void(const float* samples, size_t frames)>;

class TappedSource : public AudioSource {
 public:
  TappedSource(AudioSource& inner, FrameTap tap) : inner_(inner), tap_(std::move(tap)) {}
  AudioFormat Format() const override { return inner_.Format(); }
  size_t Read(float* out, size_t frames) override {
    const size_t n = inner_.Read(out, frames);
    if (n > 0) tap_(out, n);
    return n;
  }
  std::optional<uint64_t> ExpectedFrames() const override { return inner_.ExpectedFrames(); }
  const std::string& error() const override { return inner_.error(); }

 private:
  AudioSource& inner_;
  FrameTap tap_;
};

class TappedSink : public AudioSink {
 public:
  TappedSink(AudioSink& inner, FrameTap tap) : inner_(inner), tap_(std::move(tap)) {}
  void Write(const float* samples, size_t frames, int channels) override {
    tap_(samples, frames);
    inner_.Write(samples, frames, channels);
  }
  bool Finish() override { return inner_.Finish(); }
  const std::string& error() const override { return inner_.error(); }

 private:
  AudioSink& inner_;
  FrameTap tap_;
};

}  // namespace halvex
