#include "core/ipc/socket_client.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>

#include "core/ipc/socket_io.h"
#include "core/ipc/socket_path.h"
#include "tests/core/ipc/fake_daemon.h"

namespace halvex {
namespace {

using testing::FakeDaemon;

TEST(SocketClient, SendsOneLineAndReturnsTheReplyWithoutItsNewline) {
  FakeDaemon daemon("OK set wet_dry_ratio=0.5\nsecond line ignored\n");
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "set wet_dry_ratio 0.5"), "OK set wet_dry_ratio=0.5");
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "status"), "OK set wet_dry_ratio=0.5");
  const auto lines = daemon.lines();
  ASSERT_EQ(lines.size(), 2u);  // one connection per command
  EXPECT_EQ(lines[0], "set wet_dry_ratio 0.5");
  EXPECT_EQ(lines[1], "status");
}

TEST(SocketClient, ReplyEndsAtEndOfStreamWhenTheDaemonSendsNoNewline) {
  FakeDaemon daemon("OK");
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "on"), "OK");
}

TEST(SocketClient, ReadsDeviceListsFarLongerThanOneProtocolLine) {
  std::string reply = "OK devices";
  for (int i = 0; i < 200; ++i) reply += "\tsink_" + std::to_string(i) + "|" + std::string(96, 'd') + "|1000|0";
  ASSERT_GT(reply.size(), 4096u * 4);
  FakeDaemon daemon(reply + "\n");
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "devices"), reply);
}

TEST(SocketClient, CutsARunawayReplyAtTheReplyLimit) {
  FakeDaemon daemon("OK " + std::string(SocketClient::kMaxReplyBytes + 100, 'x'));
  ASSERT_TRUE(daemon.ok());
  const std::string reply = SocketClient::SendCommand(daemon.path(), "status");
  EXPECT_EQ(reply.size(), SocketClient::kMaxReplyBytes);
  EXPECT_EQ(reply.substr(0, 4), "OK x");
}

TEST(SocketClient, DaemonClosingWithoutAnswerGivesAnEmptyReply) {
  FakeDaemon daemon("", FakeDaemon::Mode::kCloseWithoutReply);
  ASSERT_TRUE(daemon.ok());
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "status"), "");
}

TEST(SocketClient, GivesUpOnASilentDaemonAfterAboutTwoSeconds) {
  FakeDaemon daemon("", FakeDaemon::Mode::kSilent);
  ASSERT_TRUE(daemon.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SocketClient::SendCommand(daemon.path(), "status"), "ERR no reply from halvexd (timed out)");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(seconds, 1.5);
  EXPECT_LT(seconds, 5.0);
}

TEST(SocketClient, ReportsUnreachableAndOverlongPaths) {
  EXPECT_EQ(SocketClient::SendCommand("/nonexistent-dir/halvexd.sock", "status"),
            "ERR cannot reach halvexd (is it running? /nonexistent-dir/halvexd.sock)");
  const std::string fits = "/tmp/" + std::string(102, 'a');  // 107 bytes: fits, but nothing listens
  ASSERT_EQ(fits.size(), 107u);
  EXPECT_EQ(SocketClient::SendCommand(fits, "status"), "ERR cannot reach halvexd (is it running? " + fits + ")");
  EXPECT_EQ(SocketClient::SendCommand(fits + "b", "status"), "ERR socket path too long");
}

// Both ends of a connected socket pair, closed on scope exit.
struct SocketPair {
  int fds[2] = {-1, -1};
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
  ~SocketPair() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
};

TEST(SocketIo, ReadLineStopsAtNewlineEndOfFileOrTheLimit) {
  SocketPair pair;
  ASSERT_TRUE(WriteAll(pair.fds[0], "status\r\nabcdefgh"));
  ::shutdown(pair.fds[0], SHUT_WR);
  ReadEnd end;
  EXPECT_EQ(ReadLine(pair.fds[1], 4096, end), "status\r");  // only "\n" ends a line
  EXPECT_EQ(end, ReadEnd::kNewline);
  EXPECT_EQ(ReadLine(pair.fds[1], 5, end), "abcde");
  EXPECT_EQ(end, ReadEnd::kLimit);
  EXPECT_EQ(ReadLine(pair.fds[1], 4096, end), "fgh");  // the rest stayed unread
  EXPECT_EQ(end, ReadEnd::kEndOfFile);
  EXPECT_EQ(ReadLine(pair.fds[1], 4096), "");
}

TEST(SocketIo, WriteAllToAPeerThatHungUpFailsWithoutSigpipe) {
  SocketPair pair;
  ::close(pair.fds[1]);
  pair.fds[1] = -1;
  // Default SIGPIPE disposition: the test process would die if WriteAll raised it.
  std::signal(SIGPIPE, SIG_DFL);
  EXPECT_FALSE(WriteAll(pair.fds[0], std::string(100000, 'x')));
}

TEST(SocketIo, WriteAllWorksOnAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_TRUE(WriteAll(fds[1], "OK\n"));
  ::close(fds[1]);
  EXPECT_EQ(ReadLine(fds[0], 16), "OK");
  ::close(fds[0]);
}

TEST(SocketPath, UsesTheRuntimeDirectoryOnlyWhenItIsSetAndNotEmpty) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string restore = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(DefaultSocketPath(), "/run/user/1000/halvexd.sock");
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(DefaultSocketPath(), "/tmp/halvexd.sock");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(DefaultSocketPath(), "/tmp/halvexd.sock");
  if (saved) ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
}

}  // namespace
}  // namespace halvex
