// Audio through the running daemon: played into "halvex", recorded from the device's monitor,
// compared with the input (pass-through) and with the offline render (processing).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <thread>

#include "cli/wav_io.h"
#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"
#include "tests/support/test_signals.h"

namespace halvex::test {
namespace {

constexpr int kRate = 48000;

// 2 s of stereo: different tones per channel plus deterministic noise between 0.1 s of leading
// and 0.25 s of trailing silence, so the cross-correlation has one clear peak and the partial
// last quantum, which pw-play does not deliver, is silence.
WavData TestSignal() {
  WavData wav;
  wav.sample_rate = kRate;
  wav.channels = 2;
  const int frames = 2 * kRate;
  wav.samples = TwoTonesWithNoise({440.0f, 0.3f, 587.0f, 0.2f, 12345}, frames + kRate / 4,
                                  kRate / 10, frames);
  return wav;
}

struct Comparison {
  long lag = -1;          // frames of recording before the reference's first frame
  size_t frames = 0;      // frames compared
  size_t differing = 0;   // samples that are not bit-identical
  float max_error = 0.0f;
  float peak = 0.0f;      // largest reference magnitude, for scale
  size_t first_difference = 0;
  size_t last_difference = 0;
};

// Aligns `reference` inside `recorded` by cross-correlating a window of the left channel
// after its onset, then compares every overlapping sample of both channels.
Comparison Compare(const WavData& reference, const WavData& recorded) {
  Comparison result;
  const auto frames_of = [](const WavData& w) { return w.samples.size() / 2; };
  const size_t ref_frames = frames_of(reference);
  const size_t rec_frames = frames_of(recorded);
  size_t onset = 0;
  while (onset < ref_frames && std::fabs(reference.samples[2 * onset]) < 1e-3f) ++onset;
  constexpr size_t kWindow = 2048;
  if (onset + kWindow > ref_frames || rec_frames < kWindow) return result;
  double best = -1.0;
  for (size_t start = 0; start + kWindow <= rec_frames; ++start) {
    double dot = 0.0, energy = 0.0;
    for (size_t i = 0; i < kWindow; ++i) {
      const double r = recorded.samples[2 * (start + i)];
      dot += r * reference.samples[2 * (onset + i)];
      energy += r * r;
    }
    const double score = energy > 0.0 ? dot / std::sqrt(energy) : 0.0;
    if (score > best) {
      best = score;
      result.lag = static_cast<long>(start) - static_cast<long>(onset);
    }
  }
  if (result.lag < 0) return result;
  for (size_t i = 0; i < ref_frames && result.lag + i < rec_frames; ++i) {
    for (int c = 0; c < 2; ++c) {
      const float want = reference.samples[2 * i + c];
      const float got = recorded.samples[2 * (result.lag + i) + c];
      const float error = std::fabs(want - got);
      if (want != got) {
        if (result.differing == 0) result.first_difference = i;
        result.last_difference = i;
        ++result.differing;
      }
      result.max_error = std::max(result.max_error, error);
      result.peak = std::max(result.peak, std::fabs(want));
    }
    ++result.frames;
  }
  return result;
}

class LiveAudio : public SpeakersGraphTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(SpeakersGraphTest::SetUp());
    std::string error;
    input_path_ = graph_.home() + "/input.wav";
    ASSERT_TRUE(WriteWavFloat32(input_path_, TestSignal(), error)) << error;
  }

  // Plays the input into the virtual sink while recording the device's monitor.
  WavData PlayAndRecord() {
    const std::string out = graph_.home() + "/recorded.wav";
    const pid_t recorder = graph_.Spawn({"pw-record", "--target", "speakers", "-P",
                                         "{ stream.capture.sink=true }", "--format", "f32",
                                         "--rate", "48000", "--channels", "2", out});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    const CommandResult played = graph_.Run({"pw-play", "--target", "halvex", input_path_});
    EXPECT_EQ(played.status, 0) << played.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(recorder, SIGINT);
    graph_.Wait(recorder, 5000);
    WavData recorded;
    std::string error;
    EXPECT_TRUE(ReadWav(out, recorded, error)) << error;
    EXPECT_EQ(recorded.channels, 2);
    return recorded;
  }

  std::string input_path_;
};

TEST_F(LiveAudio, PassThroughDeliversTheInputBitForBit) {
  ASSERT_TRUE(graph_.WriteConfig("{\"enabled\": false}"));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));
  const WavData recorded = PlayAndRecord();
  WavData input;
  std::string error;
  ASSERT_TRUE(ReadWav(input_path_, input, error)) << error;
  const Comparison c = Compare(input, recorded);
  ASSERT_GE(c.lag, 0) << "input not found in the recording";
  EXPECT_EQ(c.frames, input.samples.size() / 2) << "recording ended early";
  EXPECT_EQ(c.differing, 0u) << "max error " << c.max_error << " frames " << c.first_difference
                             << ".." << c.last_difference;
}

// Renders `input` offline with `config_json`, preceded by `lead_frames` of silence.
WavData RenderOffline(PrivateGraph& graph, const WavData& input, long lead_frames) {
  WavData padded = input;
  padded.samples.insert(padded.samples.begin(), 2 * static_cast<size_t>(lead_frames), 0.0f);
  const std::string in = graph.home() + "/offline_in.wav";
  const std::string out = graph.home() + "/offline_out.wav";
  std::string error;
  WavData rendered;
  EXPECT_TRUE(WriteWavFloat32(in, padded, error)) << error;
  const CommandResult render =
      graph.Cli({"--wav-in", in, "--wav-out", out, "--config", graph.ConfigPath()});
  EXPECT_EQ(render.status, 0) << render.out << render.err;
  EXPECT_TRUE(ReadWav(out, rendered, error)) << error;
  return rendered;
}

class LiveProcessing : public LiveAudio, public ::testing::WithParamInterface<const char*> {};

TEST_P(LiveProcessing, EqualsTheOfflineRenderOfWhatTheDspWasFed) {
  ASSERT_TRUE(graph_.WriteConfig(std::string("{\"enabled\": true, \"spatial_algorithm\": \"") +
                                 GetParam() + "\"}"));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));
  const WavData recorded = PlayAndRecord();
  const WavData input = TestSignal();

  // Locate the input in the recording through the plain render.
  const Comparison plain = Compare(RenderOffline(graph_, input, 0), recorded);
  ASSERT_GE(plain.lag, 0) << "render not found in the recording";
  std::printf("%s, live vs plain offline render: %zu of %zu samples differ, max error %g\n",
              GetParam(), plain.differing, plain.frames * 2, plain.max_error);

  if (plain.differing == 0) return;

  // Otherwise the engine's output depends on how many frames it ran before the input
  // (spectral frame grid, noise sequences): the DSP woke up a whole number of cycles before
  // the input reached it and processed silence until then. The exact reference is the render
  // of that much silence plus the input; look for it among cycle-aligned lead-ins.
  constexpr long kCycle = 1024;
  long lead = -1;
  for (long k = plain.lag; k >= 0 && lead < 0; k -= kCycle) {
    const WavData rendered = RenderOffline(graph_, input, k);
    const long start = plain.lag - k;  // recording frame where the render begins
    if (recorded.samples.size() < 2 * start + rendered.samples.size()) continue;
    if (std::equal(rendered.samples.begin(), rendered.samples.end(),
                   recorded.samples.begin() + 2 * start)) {
      lead = k;
    }
  }
  EXPECT_GE(lead, 0) << "no cycle-aligned lead-in of silence reproduces the live output";
  std::printf("%s: bit-exact with %ld frames of silence before the input\n", GetParam(), lead);
}

INSTANTIATE_TEST_SUITE_P(Algorithms, LiveProcessing,
                         ::testing::Values("deep_field", "echo_widener", "matrix_surround"));

}  // namespace
}  // namespace halvex::test
