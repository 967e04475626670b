#include "vis/ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace halvex::vis {
namespace {

StereoFrame Indexed(uint64_t i) {
  return StereoFrame{static_cast<float>(i), -static_cast<float>(i)};
}

void WriteRange(AudioRing& ring, uint64_t first, size_t n) {
  std::vector<StereoFrame> frames(n);
  for (size_t i = 0; i < n; ++i) frames[i] = Indexed(first + i);
  ring.Write(frames.data(), n);
}

TEST(AudioRing, ReturnsWhatWasWrittenSoFar) {
  AudioRing ring;
  std::vector<StereoFrame> out(1024);
  EXPECT_EQ(ring.ReadNewest(out.data(), 1024), 0u);
  WriteRange(ring, 0, 100);
  ASSERT_EQ(ring.ReadNewest(out.data(), 1024), 100u);
  EXPECT_EQ(out[0].left, 0.0f);
  EXPECT_EQ(out[99].left, 99.0f);
  ASSERT_EQ(ring.ReadNewest(out.data(), 10), 10u);
  EXPECT_EQ(out[0].left, 90.0f);
  EXPECT_EQ(out[9].right, -99.0f);
}

TEST(AudioRing, KeepsTheNewestFramesInOrderAfterWrapping) {
  AudioRing ring;
  for (uint64_t i = 0; i < 40000; i += 1000) WriteRange(ring, i, 1000);
  std::vector<StereoFrame> out(40000);
  ASSERT_EQ(ring.ReadNewest(out.data(), 40000), AudioRing::kCapacity);
  for (size_t i = 0; i < AudioRing::kCapacity; ++i) {
    ASSERT_EQ(out[i].left, static_cast<float>(7232 + i)) << i;
  }
  EXPECT_EQ(ring.written(), 40000u);
}

TEST(AudioRing, AWriteLargerThanTheRingKeepsItsNewestFrames) {
  AudioRing ring;
  WriteRange(ring, 0, 50000);
  std::vector<StereoFrame> out(AudioRing::kCapacity);
  ASSERT_EQ(ring.ReadNewest(out.data(), out.size()), AudioRing::kCapacity);
  EXPECT_EQ(out.front().left, 50000.0f - AudioRing::kCapacity);
  EXPECT_EQ(out.back().left, 49999.0f);
}

// A writer far faster than the reader laps it during copies; every read must still be one
// contiguous run of whole frames that ends where it should.
TEST(AudioRing, ReaderNeverReturnsFramesTheWriterOverwroteDuringTheCopy) {
  AudioRing ring;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::vector<StereoFrame> chunk(4096);
    uint64_t next = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = Indexed((next + i) % 16000000);
      ring.Write(chunk.data(), chunk.size());
      next += chunk.size();
    }
  });
  while (ring.written() <= AudioRing::kCapacity) std::this_thread::yield();
  std::vector<StereoFrame> out(AudioRing::kCapacity);
  // Reading the whole ring, any write that starts during the copy overtakes it; keep reading
  // until that has happened a number of times (bounded, on a busy machine).
  size_t short_reads = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int round = 0; short_reads < 20 && std::chrono::steady_clock::now() < give_up; ++round) {
    const size_t n = ring.ReadNewest(out.data(), out.size());
    if (n < out.size()) ++short_reads;
    for (size_t i = 1; i < n; ++i) {
      const float step = out[i].left - out[i - 1].left;
      ASSERT_TRUE(step == 1.0f || out[i].left == 0.0f) << "torn at " << i << " of " << n;
      ASSERT_EQ(out[i].right, -out[i].left);
    }
  }
  EXPECT_GT(short_reads, 0u) << "the writer never overtook a read; nothing was tested";
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace halvex::vis
