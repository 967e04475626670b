#include "cli/offline_runner.h"

#include <gtest/gtest.h>

#include <vector>

namespace halvex {
namespace {

// Delivers a counting ramp in every channel and records the block sizes asked for.
class RampSource : public AudioSource {
 public:
  RampSource(int channels, size_t frames) : channels_(channels), frames_(frames) {}
  AudioFormat Format() const override { return {48000, channels_}; }
  size_t Read(float* out, size_t frames) override {
    requests.push_back(frames);
    const size_t n = std::min(frames, frames_ - position_);
    for (size_t i = 0; i < n * static_cast<size_t>(channels_); ++i)
      out[i] = static_cast<float>((position_ * channels_ + i) % 1000) * 1e-3f;
    position_ += n;
    return n;
  }
  std::vector<size_t> requests;

 private:
  int channels_;
  size_t frames_;
  size_t position_ = 0;
};

class CollectSink : public AudioSink {
 public:
  void Write(const float* samples, size_t frames, int channels) override {
    this->channels = channels;
    data.insert(data.end(), samples, samples + frames * channels);
  }
  bool Finish() override { return true; }
  std::vector<float> data;
  int channels = 0;
};

Processor DefaultProcessor() {
  Processor p;
  p.Configure(DefaultConfig());
  return p;
}

TEST(OfflineLoop, RunsUntilTheSourceIsDryAndCountsEveryFrame) {
  RampSource source(3, 1000);
  CollectSink sink;
  Processor processor = DefaultProcessor();
  const OfflineResult result = RunOffline(source, sink, processor, 300);
  EXPECT_EQ(result.frames, 1000u);
  EXPECT_EQ(result.channels, 3);
  EXPECT_EQ(sink.channels, 3);
  ASSERT_EQ(sink.data.size(), 3000u);
  EXPECT_EQ(source.requests, (std::vector<size_t>{300, 300, 300, 300, 300}));
  for (size_t f = 0; f < 1000; ++f)  // the third channel is not the engine's
    EXPECT_EQ(sink.data[f * 3 + 2], static_cast<float>((f * 3 + 2) % 1000) * 1e-3f);
}

TEST(OfflineLoop, ShortensBlocksInsteadOfAllocatingHugeBuffersForManyChannels) {
  // 65535 channels x the largest block would be 256 GiB of floats.
  RampSource source(65535, 130);
  CollectSink sink;
  Processor processor = DefaultProcessor();
  const OfflineResult result = RunOffline(source, sink, processor, kMaxBlockFrames);
  EXPECT_EQ(result.frames, 130u);
  ASSERT_FALSE(source.requests.empty());
  EXPECT_LE(source.requests.front() * 65535, size_t{1} << 22);
  EXPECT_GE(source.requests.front(), 1u);
  EXPECT_EQ(sink.data.size(), 130u * 65535);
}

}  // namespace
}  // namespace halvex
