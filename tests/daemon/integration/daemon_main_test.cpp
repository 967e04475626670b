// Start-up and shutdown of the real halvexd: configuration errors, one instance per socket,
// the environment it needs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

class DaemonStartup : public SpeakersGraphSuite {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(FreshSettings(true)); }

  // Runs halvexd to completion (it must not get as far as running).
  CommandResult RunDaemon(const std::vector<std::string>& prefix = {},
                          const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(PrivateGraph::DaemonPath());
    argv.insert(argv.end(), args.begin(), args.end());
    return graph_->Run(argv, 10000);
  }

  // The daemon announces itself just after its socket opens, so a test that has already been
  // answered may still have to wait for the line.
  bool LogShows(const std::string& text) {
    return PrivateGraph::WaitUntil(
        [&] { return Slurp(log_).find(text) != std::string::npos; }, 5000);
  }
};

TEST_F(DaemonStartup, WithoutAPipeWireServerItSaysSoOnceAndLeavesNoSocket) {
  const CommandResult run = RunDaemon({"env", "PIPEWIRE_REMOTE=halvex-no-such-server"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_TRUE(HasLineStarting(run.err, "halvexd: cannot connect to the PipeWire server: "))
      << run.err;
  size_t lines = 0;
  for (size_t at = run.err.find("halvexd: cannot"); at != std::string::npos;
       at = run.err.find("halvexd: cannot", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 1u) << run.err;
  EXPECT_FALSE(Exists(graph_->SocketPath()));
}

TEST_F(DaemonStartup, ConfigFileThatDoesNotLoadStopsItBeforeAnySocketExists) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"{ \"distance\": 2,", "halvexd: config error: json parse error: "},
      {"{ \"distance\": 99 }", "halvexd: config error: distance out of [1,8]"},
      {"{ \"enabled\": 1 }", "halvexd: config error: "},
      {"[1, 2]", "halvexd: config error: "},
  };
  const std::string path = graph_->ConfigPath();
  for (const Case& c : cases) {
    WriteText(path, c.text);
    const CommandResult run = RunDaemon();
    EXPECT_EQ(run.status, 1) << c.text << "\n" << run.err;
    EXPECT_TRUE(HasLineStarting(run.err, c.message)) << c.text << "\n" << run.err;
    EXPECT_FALSE(Exists(graph_->SocketPath())) << c.text;
    EXPECT_EQ(Slurp(path), c.text) << "the user's file must be left as it was";
  }
}

TEST_F(DaemonStartup, MissingFileRunsOnDefaultsAndWritesOnlyOnAChange) {
  const pid_t pid = StartDaemon(*graph_, log_);
  ASSERT_GT(pid, 0) << Slurp(log_);
  const std::string status = RawExchange(graph_->SocketPath(), "status\n");
  EXPECT_EQ(status.rfind("OK enabled=0 spatial_algorithm=deep_field ", 0), 0u) << status;
  EXPECT_FALSE(Exists(graph_->ConfigPath()));
  EXPECT_TRUE(LogShows("halvexd: running (pass-through). control: " + graph_->SocketPath() + "\n"))
      << Slurp(log_);

  EXPECT_EQ(Trimmed(Cli(*graph_, {"set", "distance", "3"}).out), "OK set distance=3");
  EXPECT_NE(Slurp(graph_->ConfigPath()).find("\"distance\": 3"), std::string::npos);

  EXPECT_EQ(graph_->Kill(pid), 0);
  EXPECT_FALSE(Exists(graph_->SocketPath()));
}

TEST_F(DaemonStartup, TakesTheFileAfterConfigAndIgnoresOtherArguments) {
  const std::string other = graph_->home() + "/other.json";
  WriteText(other, "{ \"distance\": 2, \"enabled\": true }");
  const pid_t pid = StartDaemon(*graph_, log_, {"foo", "--config", other, "bar"});
  ASSERT_GT(pid, 0) << Slurp(log_);
  const std::string status = RawExchange(graph_->SocketPath(), "status\n");
  EXPECT_EQ(status.rfind("OK enabled=1 ", 0), 0u) << status;
  EXPECT_EQ(StatusValue(status, "distance"), "2");
  EXPECT_TRUE(LogShows("halvexd: running (processing).")) << Slurp(log_);

  EXPECT_EQ(Trimmed(Cli(*graph_, {"off"}).out), "OK disabled");
  EXPECT_NE(Slurp(other).find("\"enabled\": false"), std::string::npos);
  EXPECT_FALSE(Exists(graph_->ConfigPath()));
  EXPECT_EQ(graph_->Kill(pid), 0);

  // A final "--config" without a value falls back to the file under HOME.
  WriteText(graph_->ConfigPath(), "{ \"distance\": 5 }");
  const pid_t lone = StartDaemon(*graph_, log_, {"--config"});
  ASSERT_GT(lone, 0) << Slurp(log_);
  EXPECT_EQ(StatusValue(RawExchange(graph_->SocketPath(), "status\n"), "distance"), "5");
  EXPECT_EQ(graph_->Kill(lone), 0);
}

TEST_F(DaemonStartup, SecondInstanceOnTheSameSocketIsRefused) {
  const pid_t first = StartDaemon(*graph_, log_);
  ASSERT_GT(first, 0) << Slurp(log_);

  const CommandResult second = RunDaemon();
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("halvexd: another instance is running (control socket " +
                            graph_->SocketPath() + ")\n"),
            std::string::npos)
      << second.err;
  // The first one keeps its socket and goes on answering.
  EXPECT_TRUE(graph_->IsRunning(first));
  EXPECT_EQ(RawExchange(graph_->SocketPath(), "status\n").rfind("OK ", 0), 0u);
  EXPECT_EQ(graph_->Kill(first), 0);
}

TEST_F(DaemonStartup, RefusesToRunWithoutHome) {
  for (const std::vector<std::string>& prefix :
       {std::vector<std::string>{"env", "HOME="}, std::vector<std::string>{"env", "-u", "HOME"}}) {
    const CommandResult run = RunDaemon(prefix);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(HasLineStarting(run.err, "halvexd: HOME is not set")) << run.err;
    EXPECT_FALSE(Exists(graph_->SocketPath()));
  }
  EXPECT_FALSE(Exists("/.config/halvex/config.json"));
}

TEST_F(DaemonStartup, SigintAndSigtermStopItCleanlyEvenWhenSentEarly) {
  for (int signal : {SIGINT, SIGTERM}) {
    const pid_t pid = StartDaemon(*graph_, log_);
    ASSERT_GT(pid, 0) << Slurp(log_);
    ::kill(pid, signal);
    EXPECT_EQ(graph_->Wait(pid, 10000), 0) << "signal " << signal << "\n" << Slurp(log_);
    EXPECT_FALSE(Exists(graph_->SocketPath()));
  }
  // A signal that arrives while the daemon is still starting up (socket thread running, main
  // loop not yet) must not kill it outright.
  const pid_t pid = graph_->Spawn({PrivateGraph::DaemonPath()}, "", log_);
  PrivateGraph::WaitUntil([&] { return Exists(graph_->SocketPath()); }, 10000, 1);
  ::kill(pid, SIGTERM);
  EXPECT_EQ(graph_->Wait(pid, 10000), 0) << Slurp(log_);
  EXPECT_FALSE(Exists(graph_->SocketPath()));
}

}  // namespace
}  // namespace halvex::test
