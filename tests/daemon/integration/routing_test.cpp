// Output routing on a private graph: which device gets the DSP output, and what happens to
// playback streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(graph_.Start(error)) << error;
  }

  void AddSink(const std::string& name, int channels, int priority) {
    std::string error;
    ASSERT_TRUE(graph_.AddSink(name, name + " device", channels, priority, error)) << error;
  }

  // True once `device` has exactly `links` links from the DSP and no other device has any.
  bool OnlyRoutedTo(const std::string& device, size_t links = 2, int timeout_ms = 10000) {
    return PrivateGraph::WaitUntil(
        [&] {
          const nlohmann::json dump = graph_.Dump();
          return PrivateGraph::LinkCountOnlyInto(dump, PrivateGraph::NodeId(dump, "halvex_dsp"),
                                                 PrivateGraph::NodeId(dump, device)) ==
                 static_cast<int>(links);
        },
        timeout_ms);
  }

  // The device flagged active in the "devices" reply ("" when none).
  std::string Active() {
    std::string devices = graph_.Cli({"devices"}).out;
    if (!devices.empty() && devices.back() == '\n') devices.pop_back();
    size_t start = devices.find('\t');
    while (start != std::string::npos) {
      const size_t end = devices.find('\t', start + 1);
      const std::string entry = devices.substr(start + 1, end - start - 1);
      if (entry.size() > 2 && entry.compare(entry.size() - 2, 2, "|1") == 0) {
        return entry.substr(0, entry.find('|'));
      }
      start = end;
    }
    return "";
  }

  // A long quiet tone, so streams stay in the graph while the test looks at them.
  std::string Tone(double seconds) { return graph_.MakeTone("tone.wav", seconds, 440, -30); }

  // Waits until both channels of `stream` play into `node`.
  bool TargetsBecome(int stream, const std::string& node, int timeout_ms) {
    return PrivateGraph::WaitUntil(
        [&] { return StreamTargets(stream) == std::vector<std::string>{node, node}; }, timeout_ms);
  }
  // The first playback stream once there is one; -1 after `timeout_ms`.
  int WaitForStream(int timeout_ms) {
    int stream = -1;
    PrivateGraph::WaitUntil([&] { return (stream = StreamId()) >= 0; }, timeout_ms);
    return stream;
  }

  int StreamId() {
    const nlohmann::json dump = graph_.Dump();
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Node") continue;
      const auto& props = object["info"]["props"];
      if (props.value("media.class", "") == "Stream/Output/Audio") {
        return object.value("id", -1);
      }
    }
    return -1;
  }

  int PortId(int node, const std::string& name) {
    const nlohmann::json dump = graph_.Dump();
    for (const auto& object : dump) {
      if (object.value("type", "") != "PipeWire:Interface:Port") continue;
      const auto& props = object["info"]["props"];
      if (props.value("node.id", -1) == node && props.value("port.name", "") == name) {
        return object.value("id", -1);
      }
    }
    return -1;
  }

  // Names of the nodes the stream's output ports are linked to.
  std::vector<std::string> StreamTargets(int stream) {
    const nlohmann::json dump = graph_.Dump();
    std::vector<std::string> targets;
    for (const auto& link : PrivateGraph::Links(dump)) {
      if (link.output_node != stream) continue;
      const nlohmann::json* node = PrivateGraph::Object(dump, link.input_node);
      if (node != nullptr) targets.push_back((*node)["info"]["props"].value("node.name", ""));
    }
    std::sort(targets.begin(), targets.end());
    return targets;
  }

  PrivateGraph graph_;
};

TEST_F(Routing, PriorityThenLowerIdThenThePreferredDeviceSetAtRunTime) {
  AddSink("first", 2, 1000);
  AddSink("second", 2, 1000);
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  EXPECT_TRUE(OnlyRoutedTo("first")) << "a tie goes to the lower node id";
  EXPECT_EQ(Active(), "first");

  AddSink("better", 2, 1009);
  EXPECT_TRUE(OnlyRoutedTo("better")) << "a higher priority that arrives later takes over";

  EXPECT_EQ(graph_.Cli({"set", "output_device", "second"}).out, "OK set output_device=second\n");
  EXPECT_TRUE(OnlyRoutedTo("second")) << graph_.DaemonLog();
  EXPECT_EQ(Active(), "second");

  // The preferred device goes away: the best remaining one takes over; it comes back: it wins.
  ASSERT_TRUE(graph_.RemoveNode("second"));
  EXPECT_TRUE(OnlyRoutedTo("better"));
  AddSink("second", 2, 1);
  EXPECT_TRUE(OnlyRoutedTo("second"));

  ASSERT_EQ(graph_.Cli({"set", "output_device", "auto"}).status, 0);
  EXPECT_TRUE(OnlyRoutedTo("better"));
  ASSERT_TRUE(graph_.RemoveNode("better"));
  ASSERT_TRUE(graph_.RemoveNode("second"));
  EXPECT_TRUE(OnlyRoutedTo("first"));
  ASSERT_TRUE(graph_.RemoveNode("first"));
  EXPECT_TRUE(PrivateGraph::WaitUntil([&] { return Active().empty(); }, 5000));
}

TEST_F(Routing, MonoDeviceGetsTheLeftOutputOnly) {
  AddSink("mono", 1, 10);
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(OnlyRoutedTo("mono", 1)) << graph_.DaemonLog();
  EXPECT_EQ(graph_.LinksBetween("halvex_dsp", "mono"),
            (std::vector<std::string>{"halvex_dsp:output_FL -> mono:playback_MONO"}));

  // And it hears the engine, although the DSP's right output has no buffer to write into.
  const std::string out = graph_.home() + "/mono.wav";
  const pid_t recorder = graph_.Spawn({"pw-record", "--target", "mono", "-P",
                                       "{ stream.capture.sink=true }", "--format", "f32",
                                       "--rate", "48000", "--channels", "1", out});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(graph_.Run({"pw-play", "--target", "halvex", Tone(1.5)}).status, 0);
  kill(recorder, SIGINT);
  graph_.Wait(recorder, 5000);
  const CommandResult stat = graph_.Run({"sox", out, "-n", "stat"});
  const size_t at = stat.err.find("Maximum amplitude:");
  ASSERT_NE(at, std::string::npos) << stat.err;
  EXPECT_GT(std::stod(stat.err.substr(at + 18)), 0.01) << stat.err;
}

TEST_F(Routing, LinkRemovedBySomeoneElseIsMadeAgain) {
  AddSink("speakers", 2, 10);
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(OnlyRoutedTo("speakers"));
  ASSERT_EQ(graph_.Run({"pw-link", "-d", "halvex_dsp:output_FL", "speakers:playback_FL"}).status,
            0);
  EXPECT_TRUE(OnlyRoutedTo("speakers")) << graph_.DaemonLog();
  ASSERT_EQ(graph_.Run({"pw-link", "-d", "halvex:monitor_FR", "halvex_dsp:input_FR"}).status, 0);
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex", "halvex_dsp").size() == 2; }, 10000));
}

TEST_F(Routing, StreamsAreMovedIntoTheSinkOnceAndBypassLinksRemoved) {
  AddSink("speakers", 2, 10);
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(OnlyRoutedTo("speakers"));
  // A stream that asks for the device itself is moved into the virtual sink.
  const pid_t player = graph_.Spawn({"pw-play", "--target", "speakers", Tone(30)});
  const int stream = WaitForStream(5000);
  ASSERT_GE(stream, 0);
  EXPECT_TRUE(TargetsBecome(stream, "halvex", 8000))
      << ::testing::PrintToString(StreamTargets(stream));

  // A direct link from that stream to the device bypasses the engine and is removed.
  const CommandResult linked = graph_.Run({"pw-link", std::to_string(PortId(stream, "output_FL")),
                                           "speakers:playback_FL"});
  ASSERT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(TargetsBecome(stream, "halvex", 8000))
      << ::testing::PrintToString(StreamTargets(stream));

  // The user moves it to the device: it stays there (moved once), and a link that only goes
  // to the device is not a bypass.
  const nlohmann::json dump = graph_.Dump();
  const std::string speakers_serial = std::to_string(
      (*PrivateGraph::Object(dump, PrivateGraph::NodeId(dump, "speakers")))["info"]["props"]
          .value("object.serial", 0));
  ASSERT_EQ(graph_.Run({"pw-metadata", "-n", "default", std::to_string(stream), "target.object",
                        speakers_serial, "Spa:Id"})
                .status,
            0);
  EXPECT_TRUE(TargetsBecome(stream, "speakers", 8000))
      << ::testing::PrintToString(StreamTargets(stream));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(StreamTargets(stream), (std::vector<std::string>{"speakers", "speakers"}));
  graph_.Kill(player);
}

TEST_F(Routing, NewMetadataAfterASessionManagerRestartIsUsed) {
  AddSink("speakers", 2, 10);
  ASSERT_GT(graph_.StartDaemon(), 0) << graph_.DaemonLog();
  ASSERT_TRUE(OnlyRoutedTo("speakers"));
  graph_.RestartSessionManager();
  // The old "default" metadata went with it; streams are only moved through the new one.
  const pid_t player = graph_.Spawn({"pw-play", "--target", "speakers", Tone(30)});
  const int stream = WaitForStream(8000);
  ASSERT_GE(stream, 0);
  EXPECT_TRUE(TargetsBecome(stream, "halvex", 10000))
      << ::testing::PrintToString(StreamTargets(stream)) << graph_.DaemonLog();
  EXPECT_EQ(graph_.Metadata("default", "default.configured.audio.sink"), "{\"name\":\"halvex\"}");
  graph_.Kill(player);
}

}  // namespace
}  // namespace halvex::test
