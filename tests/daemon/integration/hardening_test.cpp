// The real halvexd and halvex against what a hostile local user can prepare: FIFOs and links where
// the daemon keeps its files, a socket path taken first, idle connections, over-long lines.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/ipc/socket_io.h"
#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"
#include "tests/support/other_user.h"

namespace halvex::test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Hardening : public SpeakersGraphSuite {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(FreshSettings(true));
    config_ = graph_->ConfigPath();
  }

  std::string config_;
};

// A FIFO where the configuration should be is an error at once, at start-up and on reload, and a
// FIFO at the old temporary name does not hold up a save; SIGTERM still ends the daemon promptly.
TEST_F(Hardening, FifosNeverHangTheDaemon) {
  ASSERT_EQ(::mkfifo(config_.c_str(), 0600), 0);
  auto start = Clock::now();
  const CommandResult refused = graph_->Run({PrivateGraph::DaemonPath()}, 10000);
  RecordProperty("fifo_startup_refusal_ms", static_cast<int>(SecondsSince(start) * 1000));
  EXPECT_LT(SecondsSince(start), 2.0);
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(HasLineStarting(refused.err, "halvexd: config error: not a regular file: " + config_))
      << refused.err;
  EXPECT_FALSE(Exists(graph_->SocketPath()));

  ::unlink(config_.c_str());
  WriteText(config_, "{ \"distance\": 2 }");
  const pid_t pid = StartDaemon(*graph_, log_);
  ASSERT_GT(pid, 0) << Slurp(log_);
  ASSERT_EQ(::mkfifo((config_ + ".tmp").c_str(), 0666), 0);
  start = Clock::now();
  EXPECT_EQ(Trimmed(Cli(*graph_, {"set", "distance", "3"}).out), "OK set distance=3");
  EXPECT_NE(Slurp(config_).find("\"distance\": 3"), std::string::npos);

  ::unlink(config_.c_str());
  ASSERT_EQ(::mkfifo(config_.c_str(), 0600), 0);
  EXPECT_EQ(Trimmed(Cli(*graph_, {"reload"}).out), "ERR config reload failed (kept previous)");
  EXPECT_EQ(StatusValue(Trimmed(Cli(*graph_, {"status"}).out), "distance"), "3");
  EXPECT_LT(SecondsSince(start), 3.0);

  start = Clock::now();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(graph_->Wait(pid, 1000), 0) << Slurp(log_);
  RecordProperty("sigterm_ms", static_cast<int>(SecondsSince(start) * 1000));
  EXPECT_FALSE(Exists(graph_->SocketPath()));
}

TEST_F(Hardening, IdleConnectionsDelayNoOneAndLongLinesChangeNothing) {
  WriteText(config_, "{ \"wet_dry_ratio\": 0.5 }");
  const pid_t pid = StartDaemon(*graph_, log_);
  ASSERT_GT(pid, 0) << Slurp(log_);
  std::vector<int> idle;
  for (int i = 0; i < 16; ++i) {
    idle.push_back(ConnectTo(graph_->SocketPath(), kExchangeTimeoutMs));
  }
  for (int fd : idle) ASSERT_GE(fd, 0);

  // The tool's own start-up is part of the figure, so this is generous for a loaded machine.
  const auto start = Clock::now();
  const CommandResult status = Cli(*graph_, {"status"});
  const double waited = SecondsSince(start);
  RecordProperty("status_ms_with_16_idle", static_cast<int>(waited * 1000));
  EXPECT_LT(waited, 1.0);
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(StatusValue(status.out, "wet_dry_ratio"), "0.5");

  const CommandResult long_line = Cli(*graph_, {"set", "wet_dry_ratio", std::string(4075, ' ') + "0.25"});
  EXPECT_EQ(long_line.status, 1);
  EXPECT_EQ(Trimmed(long_line.out), "ERR command line too long");
  EXPECT_EQ(StatusValue(Cli(*graph_, {"status"}).out, "wet_dry_ratio"), "0.5");
  EXPECT_EQ(Slurp(config_), "{ \"wet_dry_ratio\": 0.5 }");

  for (int fd : idle) ::close(fd);
  EXPECT_EQ(graph_->Kill(pid), 0);
}

// Without a private runtime folder the socket lives in a shared one, where another user may get
// there first: the daemon refuses their socket without removing it, and the tool refuses to talk
// to their server.
TEST_F(Hardening, ASocketPathAnotherUserTookIsRefusedByBothSides) {
  if (!CanActAsAnotherUser()) GTEST_SKIP() << "needs root to act as a second user";
  const std::string shared = MakeStickyFolder();
  ASSERT_FALSE(shared.empty());
  const std::string path = shared + "/halvexd.sock";
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  std::thread fake([&] {
    AsNobody([&] {
      ::close(report[0]);  // so that the test closing its end is seen here
      const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
      if (::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
          ::listen(listener, 4) != 0) {
        return false;
      }
      WriteAll(report[1], "ready\n");
      // Serves until the test closes the report pipe's read end.
      for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        SetSocketTimeouts(fd, 2000);
        const std::string got = ReadLine(fd, 4096);
        WriteAll(fd, "OK enabled=1\n");
        ::close(fd);
        if (!WriteAll(report[1], "got:" + got + "\n")) return true;
      }
    });
    ::close(report[1]);  // a fake that failed to start ends the test's wait for it
  });
  ASSERT_EQ(ReadLine(report[0], 64), "ready");
  const std::string env = "XDG_RUNTIME_DIR=" + shared;

  const CommandResult daemon = graph_->Run({"env", env, PrivateGraph::DaemonPath()}, 10000);
  EXPECT_EQ(daemon.status, 1);
  EXPECT_TRUE(HasLineStarting(daemon.err, "halvexd: cannot open control socket " + path +
                                              ": owned by another user: nobody (uid 65534)"))
      << daemon.err;
  const CommandResult tool = graph_->Run({"env", env, PrivateGraph::CliPath(), "on"}, 10000);
  EXPECT_EQ(tool.status, 1);
  EXPECT_EQ(Trimmed(tool.out), "ERR control socket " + path + " belongs to another user: nobody (uid 65534)");

  // The fake server is still there, was never connected to by the daemon, and saw only the
  // tool's empty, abandoned connection.
  EXPECT_EQ(ReadLine(report[0], 4096), "got:");
  ::close(report[0]);
  ::close(ConnectTo(path, 100));  // one more connection lets the fake notice the closed pipe
  fake.join();
  RemoveFolder(shared);
}

}  // namespace
}  // namespace halvex::test
