// Helpers shared by the tests that drive a real halvexd through its control socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// A connected socket with a receive time-out, or -1.
inline int ConnectTo(const std::string& path, int timeout_ms = 5000) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Sends raw bytes, closes the sending side and reads the reply up to its line end.
inline std::string RawExchange(const std::string& path, const std::string& bytes) {
  const int fd = ConnectTo(path);
  if (fd < 0) return "<no connection>";
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  std::string reply;
  char c;
  while (::read(fd, &c, 1) == 1 && c != '\n') reply.push_back(c);
  ::close(fd);
  return reply;
}

// The command-line tool in the graph's environment.
inline CommandResult Cli(const PrivateGraph& graph, const std::vector<std::string>& words) {
  std::vector<std::string> argv = {PrivateGraph::CliPath()};
  argv.insert(argv.end(), words.begin(), words.end());
  return graph.Run(argv, 10000);
}

inline std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Starts halvexd (with extra arguments) and waits until its socket answers; -1 on failure.
inline pid_t StartDaemon(PrivateGraph& graph, const std::string& log_path,
                         const std::vector<std::string>& args = {}) {
  std::vector<std::string> argv = {PrivateGraph::DaemonPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = graph.Spawn(argv, "", log_path);
  const bool up = PrivateGraph::WaitUntil(
      [&] { return RawExchange(graph.SocketPath(), "status\n").rfind("OK ", 0) == 0; }, 10000,
      20);
  if (!up) {
    graph.Kill(pid);
    return -1;
  }
  return pid;
}

// Whether some line of `text` begins with `prefix`.
inline bool HasLineStarting(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// Words of a status reply as key -> value.
inline std::string StatusValue(const std::string& status, const std::string& key) {
  const std::string needle = " " + key + "=";
  const size_t at = status.find(needle);
  if (at == std::string::npos) return "<absent>";
  const size_t start = at + needle.size();
  return status.substr(start, status.find(' ', start) - start);
}

// One private graph with a stereo "speakers" device, shared by the tests of a suite.
class SpeakersGraphSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    graph_ = std::make_unique<PrivateGraph>();
    std::string error;
    ASSERT_TRUE(graph_->Start(error)) << error;
    ASSERT_TRUE(graph_->AddSink("speakers", "Test Speakers", 2, 1000, error)) << error;
  }
  static void TearDownTestSuite() { graph_.reset(); }

  static inline std::unique_ptr<PrivateGraph> graph_;
};

}  // namespace halvex::test
