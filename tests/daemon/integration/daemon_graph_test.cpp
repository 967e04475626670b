// The daemon's nodes, its lifecycle and its effect on the session, on a private graph.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

class DaemonGraph : public SpeakersGraphTest {
 protected:
  // Waits until the DSP output feeds `device` on both channels.
  bool RoutedTo(const std::string& device, int timeout_ms = 10000) {
    return PrivateGraph::WaitUntil(
        [&] { return graph_.LinksBetween("halvex_dsp", device).size() == 2; }, timeout_ms);
  }

  // The configured default sink, as a user would choose it, and as the graph shows it.
  int ChooseDefaultSink(const std::string& name) {
    return graph_
        .Run({"pw-metadata", "-n", "default", "0", "default.configured.audio.sink",
              "{\"name\":\"" + name + "\"}", "Spa:String:JSON"})
        .status;
  }
  std::string ConfiguredSink() {
    return graph_.Metadata("default", "default.configured.audio.sink");
  }
  // A tone of `seconds` played into the virtual sink: the player, or -1 when sox failed.
  pid_t PlayTone(double seconds) {
    const std::string tone = graph_.MakeTone("tone.wav", seconds);
    return tone.empty() ? -1 : graph_.Spawn({"pw-play", "--target", "halvex", tone});
  }
  bool ConfiguredSinkBecomes(const std::string& name, int timeout_ms) {
    return PrivateGraph::WaitUntil(
        [&] { return ConfiguredSink() == "{\"name\":\"" + name + "\"}"; }, timeout_ms);
  }
};

const nlohmann::json& Props(const nlohmann::json& dump, const std::string& node) {
  return (*PrivateGraph::Object(dump, PrivateGraph::NodeId(dump, node)))["info"]["props"];
}

TEST_F(DaemonGraph, CreatesBothNodesWithTheirPropertiesPortsAndLinks) {
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers")) << graph_.DaemonLog();
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.LinksBetween("halvex", "halvex_dsp").size() == 2; }, 5000));

  const nlohmann::json dump = graph_.Dump();
  const nlohmann::json& sink = Props(dump, "halvex");
  EXPECT_EQ(sink.value("media.class", ""), "Audio/Sink");
  EXPECT_EQ(sink.value("node.description", ""), "Halvex Stereo Widener");
  EXPECT_EQ(sink.value("node.group", ""), "halvex_group");
  EXPECT_EQ(sink.value("factory.name", ""), "support.null-audio-sink");
  const nlohmann::json& dsp = Props(dump, "halvex_dsp");
  EXPECT_EQ(dsp.value("media.role", ""), "DSP");
  EXPECT_EQ(dsp.value("media.category", ""), "Duplex");
  EXPECT_EQ(dsp.value("node.description", ""), "Halvex DSP");
  EXPECT_EQ(dsp.value("node.group", ""), "halvex_group");
  EXPECT_EQ(dsp.value("node.latency", ""), "2048/48000");

  std::vector<std::string> ports;
  const int dsp_id = PrivateGraph::NodeId(dump, "halvex_dsp");
  for (const auto& object : dump) {
    if (object.value("type", "") != "PipeWire:Interface:Port") continue;
    const auto& props = object["info"]["props"];
    if (props.value("node.id", -1) != dsp_id) continue;
    ports.push_back(object["info"].value("direction", "") + " " +
                    props.value("port.name", "") + " " + props.value("audio.channel", ""));
  }
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<std::string>{"input input_FL FL", "input input_FR FR",
                                             "output output_FL FL", "output output_FR FR"}));
  EXPECT_EQ(graph_.LinksBetween("halvex", "halvex_dsp"),
            (std::vector<std::string>{"halvex:monitor_FL -> halvex_dsp:input_FL",
                                      "halvex:monitor_FR -> halvex_dsp:input_FR"}));
  EXPECT_EQ(graph_.LinksBetween("halvex_dsp", "speakers"),
            (std::vector<std::string>{"halvex_dsp:output_FL -> speakers:playback_FL",
                                      "halvex_dsp:output_FR -> speakers:playback_FR"}));
  const CommandResult devices = graph_.Cli({"devices"});
  EXPECT_EQ(devices.out, "OK devices\tspeakers|Test Speakers|1000|1\n");
}

TEST_F(DaemonGraph, SigtermEndsWithStatusZeroAndRemovesSocketLinksAndNodes) {
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  struct stat info {};
  ASSERT_EQ(stat(graph_.SocketPath().c_str(), &info), 0);

  kill(daemon, SIGTERM);
  EXPECT_EQ(graph_.Wait(daemon, 10000), 0) << graph_.DaemonLog();
  EXPECT_NE(access(graph_.SocketPath().c_str(), F_OK), 0);
  const nlohmann::json dump = graph_.Dump();
  EXPECT_LT(PrivateGraph::NodeId(dump, "halvex"), 0);
  EXPECT_LT(PrivateGraph::NodeId(dump, "halvex_dsp"), 0);
  EXPECT_TRUE(PrivateGraph::Links(dump).empty());
  EXPECT_EQ(graph_.DaemonLog().find("lost"), std::string::npos) << graph_.DaemonLog();
}

TEST_F(DaemonGraph, BecomesTheDefaultSinkAndGivesThePreviousOneBack) {
  ASSERT_EQ(ChooseDefaultSink("speakers"), 0);
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return ConfiguredSink() == "{\"name\":\"halvex\"}" &&
               graph_.Metadata("default", "default.audio.sink") == "{\"name\":\"halvex\"}";
      },
      10000));
  // WirePlumber agrees: wpctl marks the virtual sink as the default.
  const std::string status = graph_.Run({"wpctl", "status"}).out;
  EXPECT_NE(status.find("*"), std::string::npos);
  const size_t star = status.find("*");
  EXPECT_NE(status.substr(star, status.find('\n', star) - star).find("Halvex Stereo Widener"),
            std::string::npos)
      << status;

  EXPECT_EQ(graph_.Kill(daemon, 10000), 0);
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return ConfiguredSink() == "{\"name\":\"speakers\"}" &&
               graph_.Metadata("default", "default.audio.sink") == "{\"name\":\"speakers\"}";
      },
      5000))
      << ConfiguredSink();
}

TEST_F(DaemonGraph, ADefaultChosenWhileRunningIsLeftAloneOnExit) {
  ASSERT_EQ(ChooseDefaultSink("speakers"), 0);
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(ConfiguredSinkBecomes("halvex", 10000));
  // The user picks another output while the daemon runs.
  ASSERT_EQ(ChooseDefaultSink("headphones"), 0);
  ASSERT_TRUE(ConfiguredSinkBecomes("headphones", 5000));
  EXPECT_EQ(graph_.Kill(daemon, 10000), 0);
  EXPECT_EQ(ConfiguredSink(), "{\"name\":\"headphones\"}");
}

TEST_F(DaemonGraph, QuantumIsForcedForItsOwnNodesOnlyAndNeverServerWide) {
  graph_.AddEnvironment("HALVEX_TRACE_ROUTING=1");
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  const pid_t player = PlayTone(3);
  ASSERT_GT(player, 0);
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return graph_.DaemonLog().find("cycle 2048 frames at 48000 Hz") != std::string::npos;
      },
      8000))
      << graph_.DaemonLog();
  EXPECT_EQ(graph_.Metadata("settings", "clock.force-quantum"), "0");
  graph_.Wait(player, 10000);
  EXPECT_EQ(graph_.Kill(daemon, 10000), 0);
  EXPECT_EQ(graph_.Metadata("settings", "clock.force-quantum"), "0");
}

TEST_F(DaemonGraph, LosingTheServerEndsWithStatusOneAndSaysSo) {
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  graph_.KillServer();
  EXPECT_EQ(graph_.Wait(daemon, 10000), 1) << graph_.DaemonLog();
  EXPECT_NE(graph_.DaemonLog().find("halvexd: lost the"), std::string::npos)
      << graph_.DaemonLog();
}

TEST_F(DaemonGraph, IdleGraphSleepsAndWakesWhenAStreamPlays) {
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  // Nothing plays: neither the DSP nor the device is kept running by our links.
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return graph_.NodeState("speakers") != "running" &&
               graph_.NodeState("halvex_dsp") != "running";
      },
      10000, 200))
      << graph_.NodeState("speakers") << " " << graph_.NodeState("halvex_dsp");

  const pid_t player = PlayTone(4);
  ASSERT_GT(player, 0);
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return graph_.NodeState("speakers") == "running" &&
               graph_.NodeState("halvex_dsp") == "running";
      },
      5000, 50));
  graph_.Wait(player, 10000);
}

TEST_F(DaemonGraph, ANodeThatOnlySharesTheSinkNameIsNeverTakenForOurs) {
  std::string error;
  ASSERT_TRUE(graph_.AddSink("halvex", "Impostor", 2, 5000, error)) << error;
  const int impostor = PrivateGraph::NodeId(graph_.Dump(), "halvex");
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers")) << graph_.DaemonLog();
  // Our own sink feeds the DSP; the impostor (lower id, same name) is linked to nothing.
  const nlohmann::json dump = graph_.Dump();
  const int dsp = PrivateGraph::NodeId(dump, "halvex_dsp");
  int into_dsp = 0;
  for (const auto& link : PrivateGraph::Links(dump)) {
    EXPECT_NE(link.output_node, impostor);
    EXPECT_NE(link.input_node, impostor);
    if (link.input_node == dsp) ++into_dsp;
  }
  EXPECT_EQ(into_dsp, 2);
  EXPECT_EQ(graph_.Cli({"devices"}).out, "OK devices\tspeakers|Test Speakers|1000|1\n");
}

TEST_F(DaemonGraph, DeviceChangesDuringShutdownAreHarmless) {
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  std::atomic<bool> done{false};
  std::thread setter([&] {
    for (int i = 0; !done; ++i) {
      graph_.Cli({"set", "output_device", i % 2 ? "speakers" : "elsewhere"});
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(daemon, SIGTERM);
  const int status = graph_.Wait(daemon, 10000);
  done = true;
  setter.join();
  EXPECT_EQ(status, 0) << graph_.DaemonLog();
}

TEST_F(DaemonGraph, SaysOnceWhenTheGraphRunsAtAnotherRate) {
  ASSERT_EQ(graph_.Run({"pw-metadata", "-n", "settings", "0", "clock.force-rate", "44100"}).status,
            0);
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  const pid_t player = PlayTone(5);
  ASSERT_GT(player, 0);
  const std::string warning = "halvexd: graph runs at 44100 Hz; the engine is tuned for 48000 Hz";
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.DaemonLog().find(warning) != std::string::npos; }, 8000))
      << graph_.DaemonLog();
  graph_.Wait(player, 10000);
  const std::string log = graph_.DaemonLog();
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << "said more than once";
}

TEST_F(DaemonGraph, DeviceListShowsOnlySelectableNamesWithWholeCharacters) {
  std::string error;
  ASSERT_TRUE(graph_.AddSink("bad|name", "Hostile", 2, 1, error)) << error;
  // 95 ASCII bytes, then a two-byte character that a 96-byte cut would split.
  const std::string long_description = std::string(95, 'd') + "\xC3\xA9" + " tail";
  ASSERT_TRUE(graph_.AddSink("long.desc", long_description, 2, 2, error)) << error;
  const pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  const std::string devices = graph_.Cli({"devices"}).out;
  EXPECT_EQ(devices.find("bad"), std::string::npos) << devices;
  EXPECT_NE(devices.find("\tlong.desc|" + std::string(95, 'd') + "|2|0"), std::string::npos)
      << devices;
  EXPECT_NE(devices.find("\tspeakers|Test Speakers|1000|1"), std::string::npos) << devices;
}

TEST_F(DaemonGraph, AClaimLeftByAKilledDaemonIsNotRestoredLater) {
  pid_t daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(ConfiguredSinkBecomes("halvex", 10000));
  kill(daemon, SIGKILL);
  graph_.Wait(daemon, 5000);
  daemon = graph_.StartDaemon();
  ASSERT_GT(daemon, 0) << graph_.DaemonLog();
  ASSERT_TRUE(RoutedTo("speakers"));
  EXPECT_EQ(graph_.Kill(daemon, 10000), 0);
  EXPECT_TRUE(PrivateGraph::WaitUntil([&] { return ConfiguredSink().empty(); }, 5000))
      << ConfiguredSink();
}

}  // namespace
}  // namespace halvex::test
