// Robustness of the control socket: a storm of hostile connections while audio plays and the
// configuration keeps changing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"
#include "tests/support/test_signals.h"

namespace halvex::test {
namespace {

using Clock = std::chrono::steady_clock;

// Fixed-seed generator so a failing storm can be replayed.
struct Lcg {
  uint32_t state;
  uint32_t Next() { return state = LcgStep(state); }
};

// One hostile client of the kind `kind` selects; never waits for more than the reply.
void Hostile(const std::string& path, uint32_t kind, Lcg& rng) {
  switch (kind % 4) {
    case 0: {  // random bytes, sometimes with line ends
      std::string bytes(1 + rng.Next() % 600, '\0');
      for (char& c : bytes) c = static_cast<char>(rng.Next() >> 24);
      RawExchange(path, bytes);
      break;
    }
    case 1:  // an over-long line
      RawExchange(path, std::string(5000, static_cast<char>('a' + rng.Next() % 26)) + "\n");
      break;
    case 2: {  // connect and close at once
      const int fd = ConnectTo(path, kExchangeTimeoutMs);
      if (fd >= 0) ::close(fd);
      break;
    }
    default: {  // a command, then hang up before reading the reply
      const int fd = ConnectTo(path, kExchangeTimeoutMs);
      if (fd >= 0) {
        ::send(fd, "status\n", 7, MSG_NOSIGNAL);
        ::close(fd);
      }
      break;
    }
  }
}

TEST(ControlSocketRobustness, SurvivesHostileConnectionsWhileAudioPlaysAndSettingsChange) {
  PrivateGraph graph;
  std::string error;
  ASSERT_TRUE(graph.Start(error)) << error;
  ASSERT_TRUE(graph.AddSink("speakers", "Test Speakers", 2, 1000, error)) << error;
  const std::string log = graph.home() + "/halvexd.log";
  const pid_t daemon = StartDaemon(graph, log);
  ASSERT_GT(daemon, 0) << Slurp(log);
  const std::string socket = graph.SocketPath();
  ASSERT_EQ(Trimmed(Cli(graph, {"on"}).out), "OK enabled");

  // Something to process for the whole storm.
  const std::string wav = graph.home() + "/tone.wav";
  ASSERT_EQ(graph.Run({"sox", "-n", "-r", "48000", "-c", "2", "-b", "32", "-e", "floating-point",
                       wav, "synth", "60", "sine", "440", "sine", "660", "gain", "-12"})
                .status,
            0);
  const pid_t player = graph.Spawn({"pw-play", "--target", "halvex", wav});

  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  constexpr int kClients = 4;
  constexpr int kPerClient = 500;
  for (int t = 0; t < kClients; ++t) {
    clients.emplace_back([&, t] {
      Lcg rng{static_cast<uint32_t>(12345 + t)};
      for (int i = 0; i < kPerClient; ++i) {
        Hostile(socket, rng.Next() >> 16, rng);
        ++served;
      }
    });
  }
  // Meanwhile a well-behaved user changes the configuration.
  std::string last_value;
  int sets_ok = 0;
  for (int i = 0; i < 20; ++i) {
    last_value = (i % 2) ? "0.4" : "0.6";
    const std::string reply = Trimmed(Cli(graph, {"set", "widen_scale", last_value}).out);
    if (reply == "OK set widen_scale=" + last_value) {
      ++sets_ok;
    } else {
      ADD_FAILURE() << "set " << i << ": " << reply << "\ndaemon running: " << graph.IsRunning(daemon)
                    << "\n" << Slurp(log);
      break;
    }
  }
  EXPECT_EQ(sets_ok, 20);

  // Clients that connect and never send hold the serving thread for its time-out each (requests
  // are served one after another), so they come after the user's sets. The server must drop
  // them by itself.
  std::vector<int> silent;
  for (int i = 0; i < 3; ++i) silent.push_back(ConnectTo(socket, 15000));
  for (std::thread& c : clients) c.join();
  EXPECT_EQ(served.load(), kClients * kPerClient);
  for (int fd : silent) {
    ASSERT_GE(fd, 0);
    char byte;
    EXPECT_EQ(::read(fd, &byte, 1), 0) << "a silent client was not dropped by the server";
    ::close(fd);
  }

  // Afterwards: still the same process, answering at once, with a valid file.
  EXPECT_TRUE(graph.IsRunning(daemon)) << Slurp(log);
  const auto start = Clock::now();
  const std::string status = RawExchange(socket, "status\n");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
  EXPECT_EQ(status.rfind("OK enabled=1 ", 0), 0u) << status;
  EXPECT_EQ(StatusValue(status, "widen_scale"), last_value);
  const nlohmann::json file =
      nlohmann::json::parse(Slurp(graph.ConfigPath()), nullptr, false);
  ASSERT_TRUE(file.is_object());
  EXPECT_FLOAT_EQ(file["widen_scale"].get<float>(), std::stof(last_value));
  EXPECT_EQ(file["enabled"], true);

  // And the audio path kept running: the player still plays and the DSP node is running.
  EXPECT_TRUE(graph.IsRunning(player));
  const nlohmann::json dump = graph.Dump();
  const nlohmann::json* dsp = PrivateGraph::Object(dump, PrivateGraph::NodeId(dump, "halvex_dsp"));
  ASSERT_NE(dsp, nullptr);
  EXPECT_EQ((*dsp)["info"].value("state", ""), "running");
  graph.Kill(player);
  EXPECT_EQ(graph.Kill(daemon), 0) << Slurp(log);
}

}  // namespace
}  // namespace halvex::test
