// The visualizer's capture on a private graph with the real daemon: the stream links itself to
// the DSP node's outputs and receives exactly what the DSP node sends to the device.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "cli/wav_io.h"
#include "tests/daemon/integration/daemon_harness.h"
#include "vis/pw_capture.h"
#include "vis/ring.h"
#include "tests/support/test_signals.h"

namespace halvex::test {
namespace {

using vis::AudioRing;
using vis::StereoFrame;

constexpr int kRate = 48000;

// 3 s of two tones with some noise, after 0.1 s of silence.
WavData TestSignal() {
  WavData wav;
  const int frames = 3 * kRate;
  wav.samples = TwoTonesWithNoise({330.0f, 0.3f, 495.0f, 0.25f, 777}, frames, kRate / 10, frames);
  return wav;
}

float Rms(const std::vector<StereoFrame>& frames) {
  double sum = 0.0;
  for (const StereoFrame& f : frames) sum += f.left * f.left + f.right * f.right;
  return frames.empty() ? 0.0f : static_cast<float>(std::sqrt(sum / (2.0 * frames.size())));
}

// First frame of `haystack` (interleaved stereo) where `needle` starts, or -1.
long Find(const std::vector<float>& haystack, const std::vector<StereoFrame>& needle,
          float tolerance) {
  const size_t frames = haystack.size() / 2;
  for (size_t start = 0; start + needle.size() <= frames; ++start) {
    bool match = true;
    for (size_t i = 0; i < needle.size() && match; ++i) {
      match = std::fabs(haystack[2 * (start + i)] - needle[i].left) <= tolerance &&
              std::fabs(haystack[2 * (start + i) + 1] - needle[i].right) <= tolerance;
    }
    if (match) return static_cast<long>(start);
  }
  return -1;
}

class CaptureGraph : public SpeakersGraphTest {
 protected:
  void SetUp() override {
    SpeakersGraphTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(graph_.WriteConfig("{\"enabled\": true, \"spatial_algorithm\": \"deep_field\"}"));
    daemon_ = graph_.StartDaemon();
    ASSERT_GT(daemon_, 0) << graph_.DaemonLog();
    ASSERT_TRUE(PrivateGraph::WaitUntil(
        [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));
    // This process is a client of the private graph too.
    setenv("XDG_RUNTIME_DIR", graph_.runtime_dir().c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
  }

  void TearDown() override {
    capture_.Stop();
    graph_.Stop();
  }

  pid_t daemon_ = -1;
  AudioRing ring_;
  vis::PipeWireCapture capture_;
};

TEST_F(CaptureGraph, LinksToTheDspOutputsAndReceivesWhatTheDspProduced) {
  std::string error;
  ASSERT_TRUE(capture_.Start("halvex_dsp", ring_, error)) << error;
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "halvex-vis").size() == 2; }, 10000))
      << "capture stream not linked to the DSP node";
  const std::vector<std::string> links = graph_.LinksBetween("halvex_dsp", "halvex-vis");
  EXPECT_NE(std::find(links.begin(), links.end(), "halvex_dsp:output_FL -> halvex-vis:input_FL"),
            links.end());
  EXPECT_NE(std::find(links.begin(), links.end(), "halvex_dsp:output_FR -> halvex-vis:input_FR"),
            links.end());
  // Not a monitor: neither the virtual sink nor the device feeds the stream.
  EXPECT_TRUE(graph_.LinksBetween("halvex", "halvex-vis").empty());
  EXPECT_TRUE(graph_.LinksBetween("speakers", "halvex-vis").empty());

  // What the DSP node sends to the device, recorded from the device's monitor.
  const std::string input = graph_.home() + "/input.wav";
  const std::string recorded_path = graph_.home() + "/dsp_output.wav";
  const WavData signal = TestSignal();
  ASSERT_TRUE(WriteWavFloat32(input, signal, error)) << error;
  const pid_t recorder = graph_.Spawn({"pw-record", "--target", "speakers", "-P",
                                       "{ stream.capture.sink=true }", "--format", "f32",
                                       "--rate", "48000", "--channels", "2", recorded_path});
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const pid_t player = graph_.Spawn({"pw-play", "--target", "halvex", input});

  // Once the capture hears the signal, let a whole ring of it arrive and take it.
  std::vector<StereoFrame> newest(1024);
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        newest.resize(ring_.ReadNewest(newest.data(), 1024));
        const bool loud = Rms(newest) > 0.05f;
        newest.resize(1024);
        return loud;
      },
      10000, 20))
      << "no audio reached the capture";
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::vector<StereoFrame> snapshot(AudioRing::kCapacity);
  snapshot.resize(ring_.ReadNewest(snapshot.data(), snapshot.size()));
  EXPECT_EQ(graph_.Wait(player, 15000), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(recorder, SIGINT);
  graph_.Wait(recorder, 5000);

  ASSERT_GE(snapshot.size(), 16384u);
  EXPECT_GT(Rms(snapshot), 0.05f);
  WavData recorded;
  ASSERT_TRUE(ReadWav(recorded_path, recorded, error)) << error;
  // Drop the snapshot's newest quantum, which the device may not have finished recording.
  snapshot.resize(snapshot.size() - 2048);
  const long at = Find(recorded.samples, snapshot, 0.0f);
  EXPECT_GE(at, 0) << "the captured frames are not a bit-exact stretch of the DSP's output";

  // And the processed signal is not the raw input (which a sink monitor would carry).
  std::vector<float> raw(signal.samples.begin(), signal.samples.end());
  EXPECT_LT(Find(raw, std::vector<StereoFrame>(snapshot.begin(), snapshot.begin() + 256), 1e-4f),
            0);
}

TEST_F(CaptureGraph, LinksAgainAfterTheDaemonRestarts) {
  std::string error;
  ASSERT_TRUE(capture_.Start("halvex_dsp", ring_, error)) << error;
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "halvex-vis").size() == 2; }, 10000));
  // Stop the daemon (the DSP node goes away) and start it again.
  graph_.Kill(daemon_);
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "halvex-vis").empty(); }, 10000));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "halvex-vis").size() == 2; }, 20000))
      << "the capture did not find the new DSP node";
  EXPECT_FALSE(capture_.gave_up());
}

TEST_F(CaptureGraph, StopsCleanlyAtAnyPointOfAnAttempt) {
  std::string error;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(capture_.Start("halvex_dsp", ring_, error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(7 * i));
    capture_.Stop();
  }
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "halvex-vis").empty(); }, 5000))
      << "a stopped capture left its links behind";
}

}  // namespace
}  // namespace halvex::test
