// Helpers shared by the tests that drive a real halvexd through its control socket.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/daemon/integration/pw_graph.h"
#include "tests/support/files.h"
#include "tests/support/unix_socket.h"

namespace halvex::test {

// How long a daemon under test may take to answer one exchange.
constexpr int kExchangeTimeoutMs = 5000;

// Sends raw bytes, closes the sending side and reads the reply up to its line end.
inline std::string RawExchange(const std::string& path, const std::string& bytes) {
  const int fd = ConnectTo(path, kExchangeTimeoutMs);
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

// A private graph of its own for each test, with a stereo "speakers" device.
class SpeakersGraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(graph_.Start(error)) << error;
    ASSERT_TRUE(graph_.AddSink("speakers", "Test Speakers", 2, 1000, error)) << error;
  }

  PrivateGraph graph_;
};

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

  // For each test: none of the last test's settings (an empty settings folder when
  // `make_folder`), and `log_` the place for its daemon's standard error.
  void FreshSettings(bool make_folder) {
    ASSERT_TRUE(graph_) << "no private graph";
    std::filesystem::remove_all(graph_->home() + "/.config/halvex");
    if (make_folder) std::filesystem::create_directories(graph_->home() + "/.config/halvex");
    log_ = graph_->home() + "/halvexd.log";
  }

  static inline std::unique_ptr<PrivateGraph> graph_;
  std::string log_;
};

}  // namespace halvex::test
