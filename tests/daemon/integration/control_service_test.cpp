// The control protocol end to end: the built halvex tool against a real halvexd in a private graph.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

class ControlProtocol : public SpeakersGraphSuite {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FreshSettings(false));
    pid_ = StartDaemon(*graph_, log_);
    ASSERT_GT(pid_, 0) << Slurp(log_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      EXPECT_EQ(graph_->Kill(pid_), 0) << Slurp(log_);
    }
  }

  // Reply line and exit status of `halvex WORDS...`.
  std::pair<std::string, int> Halvex(const std::vector<std::string>& words) {
    const CommandResult run = Cli(*graph_, words);
    return {Trimmed(run.out), run.status};
  }
  std::string Raw(const std::string& bytes) { return RawExchange(graph_->SocketPath(), bytes); }

  pid_t pid_ = -1;
};

TEST_F(ControlProtocol, EveryCommandThroughTheTool) {
  auto [status, code] = Halvex({"status"});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(status.rfind("OK enabled=0 spatial_algorithm=deep_field render_target=headphones "
                         "ambience_spread=",
                         0),
            0u)
      << status;
  EXPECT_NE(status.find(" treble_shelf_hz=6766 wet_dry_ratio=1 haas_delay_ms=0 haas_channel=L quantum=2048"),
            std::string::npos)
      << status;

  EXPECT_EQ(Halvex({"on"}), std::make_pair(std::string("OK enabled"), 0));
  EXPECT_EQ(Halvex({"status"}).first.rfind("OK enabled=1 ", 0), 0u);
  EXPECT_EQ(Halvex({"disable"}), std::make_pair(std::string("OK disabled"), 0));
  EXPECT_EQ(Halvex({"enable"}), std::make_pair(std::string("OK enabled"), 0));
  EXPECT_EQ(Halvex({"off"}), std::make_pair(std::string("OK disabled"), 0));

  EXPECT_EQ(Halvex({"set", "spatial_algorithm", "echo_widener", "extra"}),
            std::make_pair(std::string("OK set spatial_algorithm=echo_widener"), 0));
  EXPECT_EQ(StatusValue(Halvex({"status"}).first, "spatial_algorithm"), "echo_widener");
  EXPECT_EQ(Halvex({"set", "wet_dry_ratio"}),
            std::make_pair(std::string("ERR usage: set <key> <value>"), 1));
  EXPECT_EQ(Halvex({"set"}), std::make_pair(std::string("ERR usage: set <key> <value>"), 1));
  EXPECT_EQ(Halvex({"set", "output_device", "a/b"}).first,
            "ERR output_device may only contain letters, digits, '.', '_', '-' and ':'");

  const auto devices = Halvex({"devices"});
  EXPECT_EQ(devices.second, 0);
  EXPECT_EQ(devices.first.rfind("OK devices", 0), 0u) << devices.first;

  // Words the tool does not forward, sent raw.
  EXPECT_EQ(Raw("STATUS\n"), "ERR unknown command: STATUS");
  EXPECT_EQ(Raw("\n"), "ERR empty command");
  EXPECT_EQ(Raw(""), "ERR empty command");
  EXPECT_EQ(Raw("status\r\n").rfind("OK enabled=0 ", 0), 0u);
}

TEST_F(ControlProtocol, SetSavesTheFileAndAnInvalidSetChangesNothing) {
  ASSERT_EQ(Halvex({"on"}).first, "OK enabled");
  ASSERT_EQ(Halvex({"set", "wet_dry_ratio", "0,5"}).first, "OK set wet_dry_ratio=0,5");
  const std::string saved = Slurp(graph_->ConfigPath());
  const nlohmann::json file = nlohmann::json::parse(saved);
  EXPECT_EQ(file["wet_dry_ratio"], 0.5);
  EXPECT_EQ(file["enabled"], true);
  const std::string status = Halvex({"status"}).first;

  EXPECT_EQ(Halvex({"set", "wet_dry_ratio", "much"}),
            std::make_pair(std::string("ERR not a number: much"), 1));
  EXPECT_EQ(Halvex({"set", "distance", "99"}).first, "ERR distance out of [1,8]");
  EXPECT_EQ(Halvex({"set", "no_such_key", "1"}).first, "ERR unknown key: no_such_key");
  EXPECT_EQ(Slurp(graph_->ConfigPath()), saved);
  EXPECT_EQ(Halvex({"status"}).first, status);
}

TEST_F(ControlProtocol, ReloadInstallsTheFileAndABrokenFileKeepsThePrevious) {
  ASSERT_EQ(Halvex({"set", "distance", "4"}).first, "OK set distance=4");
  WriteText(graph_->ConfigPath(), "{ \"distance\": 2, \"spatial_algorithm\": \"matrix_steer\" }");
  EXPECT_EQ(Halvex({"reload"}), std::make_pair(std::string("OK reloaded"), 0));
  std::string status = Halvex({"status"}).first;
  EXPECT_EQ(StatusValue(status, "distance"), "2");
  EXPECT_EQ(StatusValue(status, "spatial_algorithm"), "matrix_steer");

  for (const char* broken : {"{ \"distance\": ", "{ \"distance\": 99 }", "{ \"air\": \"x\" }"}) {
    WriteText(graph_->ConfigPath(), broken);
    EXPECT_EQ(Halvex({"reload"}),
              std::make_pair(std::string("ERR config reload failed (kept previous)"), 1));
    EXPECT_EQ(Halvex({"status"}).first, status) << broken;
    EXPECT_EQ(Slurp(graph_->ConfigPath()), broken);
  }
  std::filesystem::remove(graph_->ConfigPath());
  EXPECT_EQ(Halvex({"reload"}).first, "ERR config reload failed (kept previous)");
  EXPECT_EQ(Halvex({"status"}).first, status);
}

TEST_F(ControlProtocol, ConfigFileIsValidJsonWheneverAReaderLooks) {
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::atomic<int> bad{0};
  std::string first_bad;
  std::thread reader([&] {
    while (!done.load()) {
      if (!Exists(graph_->ConfigPath())) {  // before the first save
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const std::string text = Slurp(graph_->ConfigPath());
      ++reads;
      const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
      if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("wet_dry_ratio")) {
        if (bad++ == 0) first_bad = text;
      }
    }
  });
  for (int i = 0; i < 60; ++i) {
    const std::string value = (i % 2) ? "0.25" : "0.75";
    ASSERT_EQ(Halvex({"set", "wet_dry_ratio", value}).first, "OK set wet_dry_ratio=" + value);
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 60);
  EXPECT_EQ(bad.load(), 0) << first_bad;
  EXPECT_EQ(nlohmann::json::parse(Slurp(graph_->ConfigPath()))["wet_dry_ratio"], 0.25);
}

TEST_F(ControlProtocol, DevicesEscapesDescriptionsAndFlagsTheActiveDevice) {
  // pw-cli turns the JSON escapes into a real tab, line feed and control byte.
  const CommandResult created = graph_->Run(
      {"pw-cli", "create-node", "adapter",
       "{ factory.name=support.null-audio-sink node.name=odd media.class=Audio/Sink "
       "node.description=\"Left|Right\\tTab\\nNext\\u0001x\" priority.session=5 "
       "object.linger=true audio.position=[ FL FR ] }"});
  ASSERT_EQ(created.status, 0) << created.err;
  // The device list follows the registry, and routing to the best device follows the start.
  std::string devices;
  PrivateGraph::WaitUntil(
      [&] {
        devices = Halvex({"devices"}).first;
        return devices.find("\tspeakers|Test Speakers|1000|1") != std::string::npos &&
               devices.find("\todd|") != std::string::npos;
      },
      10000, 100);
  EXPECT_NE(devices.find("\tspeakers|Test Speakers|1000|1"), std::string::npos) << devices;
  EXPECT_NE(devices.find("\todd|Left Right Tab Next x|5|0"), std::string::npos) << devices;
  EXPECT_EQ(devices.find('\n'), std::string::npos);
  EXPECT_EQ(devices.find("\thalvex|"), std::string::npos) << devices;
  EXPECT_EQ(devices.find("\thalvex_dsp|"), std::string::npos) << devices;
  EXPECT_TRUE(graph_->RemoveNode("odd"));
}

}  // namespace
}  // namespace halvex::test
