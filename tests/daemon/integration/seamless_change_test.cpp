// Changes heard as a listener would: a 440 Hz tone plays through the daemon while the test
// changes wet/dry, turns processing off and on, reloads and switches the algorithm. No change
// may add a click (energy above 4 kHz) or a gap (a dip in level) to the recorded device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "cli/wav_io.h"
#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

constexpr int kRate = 48000;
// The last change goes out 6.3 s after the player starts; the tone runs on long enough that a
// loaded machine's late sends and slow player start still leave a steady stretch after it.
constexpr double kToneSeconds = 8.4;
// When each change is sent, in seconds after the player starts; the algorithm change comes
// last so the steady stretches before the first and after the last change bracket it.
constexpr double kFirstChange = 1.5;
constexpr double kChangeSpacing = 0.8;

using Clock = std::chrono::steady_clock;

double Db(double power) { return 10.0 * std::log10(std::max(power, 1e-30)); }

// Eighth-order Butterworth high-pass at 4 kHz (four cascaded sections): the 440 Hz tone is
// about 150 dB down, so what is left is what a change added.
std::vector<double> AboveFourKilohertz(const std::vector<double>& x) {
  constexpr double kQ[4] = {0.50980, 0.60134, 0.89998, 2.56292};
  std::vector<double> y = x;
  const double w = 2.0 * M_PI * 4000.0 / kRate;
  for (double q : kQ) {
    const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w), a0 = 1.0 + alpha;
    const double b0 = (1.0 + c) / 2.0 / a0, b1 = -(1.0 + c) / a0, b2 = b0;
    const double a1 = -2.0 * c / a0, a2 = (1.0 - alpha) / a0;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double& v : y) {
      const double out = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1;
      x1 = v;
      y2 = y1;
      y1 = out;
      v = out;
    }
  }
  return y;
}

// Mean power of both channels over windows of `frames` starting at `from`, one per window.
std::vector<double> WindowPower(const std::vector<double>& l, const std::vector<double>& r,
                                size_t from, size_t to, size_t frames) {
  std::vector<double> out;
  for (size_t at = from; at + frames <= to; at += frames) {
    double sum = 0.0;
    for (size_t i = at; i < at + frames; ++i) sum += l[i] * l[i] + r[i] * r[i];
    out.push_back(sum / frames);
  }
  return out;
}

double Median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// A graph of its own per test: every test starts its own daemon.
using SpeakersGraph = SpeakersGraphTest;

class SeamlessChanges : public SpeakersGraph, public ::testing::WithParamInterface<const char*> {};

TEST_P(SeamlessChanges, NoChangeClicksOrLeavesAGap) {
  const std::string algorithm = GetParam();
  const char* kAlgorithms[] = {"echo_widener", "experimental", "deep_field", "matrix_surround",
                               "matrix_steer"};
  const auto it = std::find(std::begin(kAlgorithms), std::end(kAlgorithms), algorithm);
  const std::string next = kAlgorithms[(it - std::begin(kAlgorithms) + 1) % 5];
  const std::vector<std::vector<std::string>> changes = {
      {"set", "wet_dry_ratio", "0.55"}, {"set", "wet_dry_ratio", "0.6"},
      {"set", "wet_dry_ratio", "0.5"},  {"off"},
      {"on"},                           {"reload"},
      {"set", "spatial_algorithm", next}};

  ASSERT_TRUE(graph_.WriteConfig("{\"enabled\": true, \"wet_dry_ratio\": 0.5, "
                                 "\"spatial_algorithm\": \"" + algorithm + "\"}"));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));

  WavData tone;
  tone.channels = 2;
  const auto tone_frames = static_cast<size_t>(kToneSeconds * kRate);
  tone.samples.assign((tone_frames + kRate / 4) * 2, 0.0f);
  for (size_t i = 0; i < tone_frames; ++i) {
    const float v = 0.3f * std::sin(static_cast<float>(2.0 * M_PI * 440.0 * i / kRate));
    tone.samples[2 * i] = v;
    tone.samples[2 * i + 1] = 0.8f * v;
  }
  std::string error;
  const std::string input = graph_.home() + "/tone.wav";
  const std::string output = graph_.home() + "/heard.wav";
  ASSERT_TRUE(WriteWavFloat32(input, tone, error)) << error;

  const pid_t recorder = graph_.Spawn({"pw-record", "--target", "speakers", "-P",
                                       "{ stream.capture.sink=true }", "--format", "f32",
                                       "--rate", "48000", "--channels", "2", output});
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  const Clock::time_point played = Clock::now();
  const pid_t player = graph_.Spawn({"pw-play", "--target", "halvex", input});
  std::vector<double> sent;  // seconds after `played` at which each change was installed
  for (size_t k = 0; k < changes.size(); ++k) {
    std::this_thread::sleep_until(
        played + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>(kFirstChange + k * kChangeSpacing)));
    const CommandResult reply = graph_.Cli(changes[k]);
    ASSERT_EQ(reply.out.rfind("OK", 0), 0u) << reply.out << reply.err;
    sent.push_back(std::chrono::duration<double>(Clock::now() - played).count());
  }
  EXPECT_EQ(graph_.Wait(player, 15000), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  kill(recorder, SIGINT);
  graph_.Wait(recorder, 5000);
  WavData heard;
  ASSERT_TRUE(ReadWav(output, heard, error)) << error;
  ASSERT_EQ(heard.channels, 2);

  const size_t frames = heard.samples.size() / 2;
  std::vector<double> l(frames), r(frames);
  for (size_t i = 0; i < frames; ++i) {
    l[i] = heard.samples[2 * i];
    r[i] = heard.samples[2 * i + 1];
  }
  const auto loud = [&](size_t i) { return std::fabs(l[i]) > 0.02 || std::fabs(r[i]) > 0.02; };
  size_t onset = 0, end = frames;
  while (onset < frames && !loud(onset)) ++onset;
  while (end > onset && !loud(end - 1)) --end;
  ASSERT_GT(end - onset, static_cast<size_t>(6.5 * kRate)) << "the tone was not recorded whole";

  // The player reaches the graph a little after it was started, so a change is heard no
  // earlier than its send time counted from the tone's onset: "near" reaches back 0.1 s and
  // forward 0.6 s (a cross-over, however late it starts, is over by then).
  const auto at = [&](double seconds) {
    return std::clamp<size_t>(onset + static_cast<size_t>(seconds * kRate), onset, end);
  };
  const size_t near_from = at(sent.front() - 0.1);
  const size_t near_to = at(sent.back() + 0.6);
  const size_t first_steady = at(0.3);
  const size_t last_steady = end - static_cast<size_t>(0.3 * kRate);
  ASSERT_LT(first_steady + kRate / 4, near_from) << "changes sent too late: " << sent.front();
  ASSERT_LT(near_to + kRate / 4, last_steady) << "changes sent too late: " << sent.back();

  constexpr size_t kClickWindow = kRate / 200;  // 5 ms
  constexpr size_t kGapWindow = kRate / 100;    // 10 ms
  const std::vector<double> hl = AboveFourKilohertz(l), hr = AboveFourKilohertz(r);
  double steady_hf = 0.0;
  for (const double p : WindowPower(hl, hr, first_steady, near_from, kClickWindow)) {
    steady_hf = std::max(steady_hf, p);
  }
  for (const double p : WindowPower(hl, hr, near_to, last_steady, kClickWindow)) {
    steady_hf = std::max(steady_hf, p);
  }
  const double level = Median(WindowPower(l, r, first_steady, last_steady, kClickWindow));
  const double limit_db = std::max(Db(steady_hf) + 6.0, Db(level) - 70.0);
  const std::vector<double> near_hf = WindowPower(hl, hr, near_from, near_to, kClickWindow);
  const double worst_hf_db = Db(*std::max_element(near_hf.begin(), near_hf.end()));

  const std::vector<double> gaps = WindowPower(l, r, first_steady, last_steady, kGapWindow);
  const double median_db = Db(Median(gaps));
  const double lowest_db = Db(*std::min_element(gaps.begin(), gaps.end()));

  std::printf("%s: worst 5 ms above 4 kHz %.1f dB re signal (limit %.1f, steady %.1f); "
              "lowest 10 ms window %.1f dB re median\n",
              algorithm.c_str(), worst_hf_db - Db(level), limit_db - Db(level),
              Db(steady_hf) - Db(level), lowest_db - median_db);
  EXPECT_LE(worst_hf_db, limit_db) << "a change clicked";
  EXPECT_GE(lowest_db, median_db - 20.0) << "a change left a gap";
}

INSTANTIATE_TEST_SUITE_P(Algorithms, SeamlessChanges,
                         ::testing::Values("echo_widener", "experimental", "deep_field",
                                           "matrix_surround", "matrix_steer"));

}  // namespace
}  // namespace halvex::test

namespace halvex::test {
namespace {

// The node's ProcessLatency as pw-dump shows it: its "rate" (frames), or -1 when absent.
long ProcessLatencyFrames(const PrivateGraph& graph) {
  const nlohmann::json dump = graph.Dump();
  const nlohmann::json* node = PrivateGraph::Object(dump, PrivateGraph::NodeId(dump, "halvex_dsp"));
  if (node == nullptr) return -1;
  const auto params = node->value("info", nlohmann::json::object()).value("params",
                                                                         nlohmann::json::object());
  const auto it = params.find("ProcessLatency");
  if (it == params.end() || !it->is_array() || it->empty()) return -1;
  return (*it)[0].value("rate", -1L);
}

class EngineLatencyReport : public SpeakersGraph {};

TEST_F(EngineLatencyReport, FollowsTheHeardAlgorithmInTheGraphAndOnTheSocket) {
  ASSERT_TRUE(graph_.WriteConfig("{\"enabled\": true, \"spatial_algorithm\": \"deep_field\"}"));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  const auto expect_frames = [&](long frames) {
    EXPECT_TRUE(PrivateGraph::WaitUntil([&] { return ProcessLatencyFrames(graph_) == frames; },
                                        5000))
        << "ProcessLatency " << ProcessLatencyFrames(graph_) << ", want " << frames;
  };
  expect_frames(0);
  ASSERT_EQ(graph_.Cli({"set", "spatial_algorithm", "echo_widener"}).status, 0);
  expect_frames(1024);
  ASSERT_EQ(graph_.Cli({"off"}).status, 0);
  expect_frames(0);
  EXPECT_EQ(graph_.Cli({"latency"}).out.rfind("OK latency engine=0 ", 0), 0u);
  ASSERT_EQ(graph_.Cli({"on"}).status, 0);
  expect_frames(1024);

  // Once the graph runs, the reply carries the cycle too.
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));
  WavData silence;
  silence.samples.assign(2 * 10 * kRate, 0.0f);
  std::string error;
  const std::string path = graph_.home() + "/silence.wav";
  ASSERT_TRUE(WriteWavFloat32(path, silence, error)) << error;
  const pid_t player = graph_.Spawn({"pw-play", "--target", "halvex", path});
  std::string reply;
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        reply = graph_.Cli({"latency"}).out;
        return reply.find("quantum=0") == std::string::npos;
      },
      5000));
  EXPECT_EQ(reply, "OK latency engine=1024 quantum=2048 rate=48000\n");
  graph_.Kill(player);
}

// Plays silence into the daemon, asking for `latency` frames ("" lets pw-play choose).
pid_t PlaySilence(PrivateGraph& graph, const std::string& latency) {
  WavData silence;
  silence.samples.assign(2 * 20 * kRate, 0.0f);
  std::string error;
  const std::string path = graph.home() + "/silence.wav";
  EXPECT_TRUE(WriteWavFloat32(path, silence, error)) << error;
  std::vector<std::string> argv = {"pw-play", "--target", "halvex", path};
  if (!latency.empty()) argv.insert(argv.begin() + 1, {"--latency", latency});
  return graph.Spawn(argv);
}

TEST_F(EngineLatencyReport, QuantumSettingReachesTheRunningGraphAtOnce) {
  ASSERT_TRUE(graph_.WriteConfig("{\"enabled\": true}"));
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex_dsp", "speakers").size() == 2; }, 10000));
  pid_t player = PlaySilence(graph_, "");
  std::string reply;
  const auto cycle_is = [&](const std::string& frames) {
    return PrivateGraph::WaitUntil(
        [&] {
          reply = graph_.Cli({"latency"}).out;
          return reply.find(" quantum=" + frames + " ") != std::string::npos;
        },
        8000);
  };
  EXPECT_TRUE(cycle_is("2048")) << reply;

  EXPECT_EQ(graph_.Cli({"set", "quantum", "256"}).out, "OK set quantum=256\n");
  EXPECT_TRUE(cycle_is("256")) << reply;
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.DaemonLog().find("quantum 256f = 5.3 ms") != std::string::npos; },
      6000))
      << graph_.DaemonLog();

  const CommandResult junk = graph_.Cli({"set", "quantum", "300"});
  EXPECT_EQ(junk.out, "ERR quantum must be 0 or a power of two from 64 to 8192: 300\n");
  EXPECT_NE(graph_.Cli({"status"}).out.find(" quantum=256"), std::string::npos);

  // Left to the graph, the quantum follows a player that asks for 512 frames.
  EXPECT_EQ(graph_.Cli({"set", "quantum", "0"}).out, "OK set quantum=0\n");
  graph_.Kill(player);
  player = PlaySilence(graph_, "512");
  EXPECT_TRUE(cycle_is("512")) << reply;
  graph_.Kill(player);
}

}  // namespace
}  // namespace halvex::test
