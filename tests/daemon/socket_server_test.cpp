#include "daemon/socket_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <vector>
#include <unistd.h>

#include "core/ipc/socket_client.h"
#include "core/ipc/socket_io.h"
#include "tests/support/other_user.h"
#include "tests/support/unix_socket.h"
#include "tests/daemon/control_fakes.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

using test::ConnectTo;

// One exchange with raw bytes; no client-side time-out, so a hanging server fails by the test's
// own watchdog in Exchange's caller, not silently.
std::string Exchange(const std::string& path, const std::string& bytes) {
  const int fd = ConnectTo(path);
  if (fd < 0) return "<no connection>";
  WriteAll(fd, bytes);
  ::shutdown(fd, SHUT_WR);
  const std::string reply = ReadLine(fd, 1 << 16);
  ::close(fd);
  return reply;
}

class SocketServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir_template[] = "/tmp/halvex-socket-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir_template), nullptr);
    dir = dir_template;
    path = dir + "/halvexd.sock";
  }
  void TearDown() override {
    if (server) server->Stop();
    ::unlink(path.c_str());
    ::rmdir(dir.c_str());
  }

  FakeEngine engine;
  FakeProvider provider;
  ControlService service{engine, provider};
  std::string dir;
  std::string path;
  std::unique_ptr<SocketServer> server;
  void Started() {
    server = std::make_unique<SocketServer>(path, service);
    ASSERT_TRUE(server->Start());
  }
};

TEST_F(SocketServerTest, ServesOneExchangePerConnectionAndCleansUpOnStop) {
  Started();
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  EXPECT_EQ(Exchange(path, "on\n"), "OK enabled");
  EXPECT_TRUE(engine.enabled);
  EXPECT_EQ(Exchange(path, "set wet_dry_ratio 0.5"), "OK set wet_dry_ratio=0.5");  // EOF ends it
  EXPECT_EQ(Exchange(path, "status\r\nstatus\n").rfind("OK enabled=1 ", 0), 0u);

  server->Stop();
  EXPECT_NE(::access(path.c_str(), F_OK), 0);
  EXPECT_EQ(ConnectTo(path), -1);
  server->Stop();  // idempotent
}

// A line cut at the limit could still parse as a different, valid command; nothing of it may run.
TEST_F(SocketServerTest, RefusesLinesLongerThan4096BytesWithoutRunningAnyOfThem) {
  Started();
  // 4096 bytes before the line end is still a command.
  std::string fits = "set wet_dry_ratio 0.5";
  fits.resize(SocketServer::kMaxLineBytes, ' ');
  EXPECT_EQ(Exchange(path, fits + "\n"), "OK set wet_dry_ratio=0.5");
  std::string at_eof = "set wet_dry_ratio 0.75";
  at_eof.resize(SocketServer::kMaxLineBytes, ' ');
  EXPECT_EQ(Exchange(path, at_eof), "OK set wet_dry_ratio=0.75");
  const size_t saves = provider.saved.size();

  // Cut after 4096 bytes these would read "set wet_dry_ratio 0.2", an unknown command and
  // "set wet_dry_ratio".
  const std::string padded = "set wet_dry_ratio " + std::string(4075, ' ') + "0.25";
  const std::string cases[] = {padded + "\n", padded, std::string(5000, 'x') + "\n",
                               "set wet_dry_ratio" + std::string(5000, ' ') + "0.1\n"};
  for (const std::string& bytes : cases) {
    EXPECT_EQ(Exchange(path, bytes), "ERR command line too long") << bytes.size();
  }
  EXPECT_EQ(engine.config.wet_dry_ratio, 0.75f);
  EXPECT_EQ(provider.saved.size(), saves);
}

TEST_F(SocketServerTest, SurvivesClientsThatHangUpEarly) {
  Started();
  // Closing without writing: the reply goes to a dead peer. Without MSG_NOSIGNAL this test process
  // would die of SIGPIPE.
  for (int i = 0; i < 20; ++i) {
    const int fd = ConnectTo(path);
    ASSERT_GE(fd, 0);
    if (i % 2 == 1) WriteAll(fd, "status\n");
    ::close(fd);
  }
  EXPECT_EQ(Exchange(path, "devices\n"), "OK devices");
}

TEST_F(SocketServerTest, SilentClientDelaysNobodyAndIsDroppedWithoutRunningItsPartialLine) {
  Started();
  const int silent = ConnectTo(path);
  ASSERT_GE(silent, 0);
  WriteAll(silent, "off");  // no line end, connection kept open
  engine.enabled = true;

  const auto start = Clock::now();
  EXPECT_EQ(Exchange(path, "status\n").rfind("OK enabled=1", 0), 0u);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);

  // After the time-out the silent connection is closed with no reply, and its half command did
  // nothing.
  char byte;
  const ssize_t n = ::read(silent, &byte, 1);
  EXPECT_GT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n;
  ::close(silent);
  EXPECT_TRUE(engine.enabled);
}

TEST_F(SocketServerTest, SixteenIdleConnectionsDoNotDelayStatusAndOneTooManyIsTurnedAway) {
  Started();
  std::vector<int> idle;
  for (int i = 0; i < 16; ++i) idle.push_back(ConnectTo(path));
  for (int fd : idle) ASSERT_GE(fd, 0);
  auto start = Clock::now();
  EXPECT_EQ(SocketClient::SendCommand(path, "status").rfind("OK enabled=0", 0), 0u);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);

  while (idle.size() < SocketServer::kMaxClients) idle.push_back(ConnectTo(path));
  start = Clock::now();
  EXPECT_EQ(SocketClient::SendCommand(path, "on"), "ERR busy");
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
  EXPECT_FALSE(engine.enabled);
  for (int fd : idle) ::close(fd);
}

// A client that closed before its line was read (it gave up waiting) can no longer be told the
// outcome, so its command is not run; one that only finished sending still is.
TEST_F(SocketServerTest, CommandOfAClientThatHungUpIsNotRun) {
  Started();
  const int gone = ConnectTo(path);
  ASSERT_GE(gone, 0);
  WriteAll(gone, "on\n");
  ::close(gone);
  EXPECT_EQ(Exchange(path, "status\n").rfind("OK enabled=0", 0), 0u);
  EXPECT_FALSE(engine.enabled);
  EXPECT_EQ(Exchange(path, "on"), "OK enabled");
}

TEST_F(SocketServerTest, ClientThatTricklesBytesIsDroppedAfterTheTimeout) {
  Started();
  const int trickler = ConnectTo(path);
  ASSERT_GE(trickler, 0);
  std::atomic<bool> stop{false};
  std::thread drip([&] {
    // A byte every 300 ms keeps a per-read time-out from ever expiring.
    for (int i = 0; i < 30 && !stop.load(); ++i) {
      if (::send(trickler, "x", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto start = Clock::now();
  const std::string reply = Exchange(path, "status\n");
  const double waited = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  drip.join();
  EXPECT_EQ(reply.rfind("OK enabled=0", 0), 0u);
  EXPECT_LT(waited, 4.0);
  ::close(trickler);
}

TEST_F(SocketServerTest, StopDoesNotHangOnASilentClient) {
  Started();
  const int silent = ConnectTo(path);
  ASSERT_GE(silent, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the server accept it
  const auto start = Clock::now();
  server->Stop();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 4.0);
  ::close(silent);
}

TEST_F(SocketServerTest, RefusesAPathTakenByALiveServerButReplacesAStaleOne) {
  Started();
  SocketServer second(path, service);
  EXPECT_FALSE(second.Start());
  EXPECT_TRUE(second.InUse());
  second.Stop();  // must not remove the live server's socket
  EXPECT_EQ(Exchange(path, "status\n").substr(0, 2), "OK");
  server->Stop();

  // A socket file nobody listens on any more, as a crashed daemon leaves it.
  const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);
  SocketServer third(path, service);
  EXPECT_TRUE(third.Start());
  EXPECT_FALSE(third.InUse());
  EXPECT_EQ(Exchange(path, "status\n").substr(0, 2), "OK");
}

// The shared /tmp fallback: whatever another user left at the path is refused, never removed,
// connected to or replaced; a file of our own that is not a socket is not removed either.
TEST_F(SocketServerTest, RefusesAPathAnotherUserHoldsAndLeavesItAlone) {
  if (!test::CanActAsAnotherUser()) GTEST_SKIP() << "needs root to act as a second user";
  const std::string shared = test::MakeStickyFolder();
  ASSERT_FALSE(shared.empty());
  const std::string socket_path = shared + "/socket";
  ASSERT_TRUE(test::AsNobody([&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof(addr.sun_path) - 1);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
           ::mkdir((shared + "/folder").c_str(), 0755) == 0 &&
           ::close(::open((shared + "/file").c_str(), O_CREAT | O_WRONLY, 0644)) == 0;
  }));
  ::close(::open((shared + "/mine").c_str(), O_CREAT | O_WRONLY, 0644));

  const std::pair<std::string, std::string> cases[] = {
      {"socket", "owned by another user: nobody (uid 65534)"},
      {"folder", "owned by another user: nobody (uid 65534)"},
      {"file", "owned by another user: nobody (uid 65534)"},
      {"mine", "not a socket: " + shared + "/mine"},
  };
  for (const auto& [name, error] : cases) {
    SocketServer server(shared + "/" + name, service);
    EXPECT_FALSE(server.Start()) << name;
    EXPECT_FALSE(server.InUse());
    EXPECT_EQ(server.LastError(), error);
    server.Stop();
    struct stat st {};
    EXPECT_EQ(::lstat((shared + "/" + name).c_str(), &st), 0) << name << " was removed";
  }
  test::RemoveFolder(shared);
}

TEST_F(SocketServerTest, FailsOnAPathThatDoesNotFitASocketAddress) {
  SocketServer too_long(dir + "/" + std::string(110, 's'), service);
  EXPECT_FALSE(too_long.Start());
  SocketServer no_dir(dir + "/missing/halvexd.sock", service);
  EXPECT_FALSE(no_dir.Start());
  EXPECT_FALSE(no_dir.InUse());
}

TEST_F(SocketServerTest, SaysWhyStartFailed) {
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {dir + "/" + std::string(110, 's'), "path too long for a socket address"},
      {dir + "/missing/halvexd.sock", "bind: No such file or directory"},
  };
  for (const Case& c : cases) {
    SocketServer failing(c.path, service);
    EXPECT_FALSE(failing.Start());
    EXPECT_EQ(failing.LastError(), c.error) << c.path;
  }
  Started();
  SocketServer second(path, service);
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(second.LastError(), "another server listens at the path");
}

TEST_F(SocketServerTest, AnswersAnotherUserWithPermissionDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another uid";
  Started();
  // Open the door on purpose so only the credential check stands in the way.
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    WriteAll(pipe_fds[1], Exchange(path, "on\n"));
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  const std::string reply = ReadLine(pipe_fds[0], 256);
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(reply, "ERR permission denied");
  EXPECT_FALSE(engine.enabled);
}

}  // namespace
}  // namespace halvex
