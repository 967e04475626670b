#include "vis/pw_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace halvex::vis {
namespace {

// A scripted sequence of attempt results and a record of every wait asked for.
struct Script {
  std::vector<bool> results;  // attempts beyond the list fail
  size_t next = 0;
  std::mutex mutex;
  std::vector<int> waits;

  PipeWireCapture Capture() {
    return PipeWireCapture(
        [this](const std::string&, AudioRing&, std::atomic<bool>&, std::atomic<bool>&,
               CaptureLoopSlot&) {
          const size_t attempt = next++;
          return attempt < results.size() && results[attempt];
        },
        [this](int ms, const std::atomic<bool>&) {
          std::lock_guard<std::mutex> lock(mutex);
          waits.push_back(ms);
        });
  }
};

bool WaitFor(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Starts the scripted capture and stops it once it has given up.
void RunUntilItGivesUp(Script& script) {
  PipeWireCapture capture = script.Capture();
  AudioRing ring;
  std::string error;
  ASSERT_TRUE(capture.Start("halvex_dsp", ring, error));
  ASSERT_TRUE(WaitFor([&] { return capture.gave_up(); }));
  capture.Stop();
}

TEST(CaptureRetry, GivesUpAfterTenFailuresWithGrowingWaits) {
  Script script;
  ASSERT_NO_FATAL_FAILURE(RunUntilItGivesUp(script));
  EXPECT_EQ(script.next, 10u);
  EXPECT_EQ(script.waits, (std::vector<int>{2000, 4000, 8000, 16000, 30000, 30000, 30000, 30000,
                                            30000}));
}

TEST(CaptureRetry, ASuccessRestartsTheCount) {
  Script script;
  script.results = {false, false, true, false};
  ASSERT_NO_FATAL_FAILURE(RunUntilItGivesUp(script));
  EXPECT_EQ(script.next, 13u);  // 2 failures, 1 success, then 10 failures
  ASSERT_GE(script.waits.size(), 4u);
  EXPECT_EQ(std::vector<int>(script.waits.begin(), script.waits.begin() + 4),
            (std::vector<int>{2000, 4000, 1000, 2000}));
}

TEST(CaptureRetry, RefusesASecondStart) {
  Script script;
  script.results = std::vector<bool>(1000000, true);
  PipeWireCapture capture = script.Capture();
  AudioRing ring;
  std::string error;
  ASSERT_TRUE(capture.Start("a", ring, error));
  EXPECT_FALSE(capture.Start("a", ring, error));
  EXPECT_EQ(error, "capture already running");
  capture.Stop();
  EXPECT_TRUE(capture.Start("a", ring, error));  // after Stop it may start again
  capture.Stop();
}

TEST(CaptureRetry, StopDuringAWaitReturnsPromptly) {
  // No server at this address: every real attempt fails at once and the capture waits.
  setenv("PIPEWIRE_REMOTE", "/nonexistent/halvex-test-socket", 1);
  setenv("PIPEWIRE_RUNTIME_DIR", "/nonexistent", 1);
  PipeWireCapture capture;
  AudioRing ring;
  std::string error;
  ASSERT_TRUE(capture.Start("halvex_dsp", ring, error));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const auto before = std::chrono::steady_clock::now();
  capture.Stop();
  const auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::milliseconds(1000));  // the wait in progress is 2 s
  EXPECT_FALSE(capture.gave_up());
  unsetenv("PIPEWIRE_REMOTE");
  unsetenv("PIPEWIRE_RUNTIME_DIR");
}

TEST(CaptureRetry, StartAndStopAtAnyMomentNeverHang) {
  setenv("PIPEWIRE_REMOTE", "/nonexistent/halvex-test-socket", 1);
  PipeWireCapture capture;
  AudioRing ring;
  std::string error;
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(capture.Start("halvex_dsp", ring, error)) << i;
    std::this_thread::sleep_for(std::chrono::microseconds(137 * (i % 9)));
    capture.Stop();
  }
  unsetenv("PIPEWIRE_REMOTE");
}

TEST(CaptureChunk, StaysInsideTheDataBlock) {
  const struct {
    uint32_t offset, size, maxsize, want_offset;
    size_t want_frames;
  } cases[] = {
      {0, 4096, 4096, 0, 512},     {0, 4100, 4096, 0, 512},  {4000, 4096, 4096, 4000, 12},
      {9000, 64, 4096, 4096, 0},   {8, 20, 4096, 8, 2},      {0, 0, 4096, 0, 0},
      {0xffffffffu, 0xffffffffu, 4096, 4096, 0},
  };
  for (const auto& c : cases) {
    const ChunkSpan span = ChunkFrames(c.offset, c.size, c.maxsize);
    EXPECT_EQ(span.offset, c.want_offset) << c.offset << "+" << c.size;
    EXPECT_EQ(span.frames, c.want_frames) << c.offset << "+" << c.size;
  }
}

}  // namespace
}  // namespace halvex::vis
