// The real halvex-tray program on a private graph with a display, a notification server and a
// stand-in systemctl, against the real halvexd or a socket that never answers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/core/ipc/fake_daemon.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

long ReadNumber(const std::string& path) {
  long value = 0;
  std::ifstream(path) >> value;
  return value;
}

std::string TrayPath() { return HALVEX_BINARY_DIR "/tray/halvex-tray"; }

class TrayProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    // A daemon the stand-in systemctl starts outlives it; as our orphan it can be reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    ASSERT_TRUE(graph_.Start(error)) << error;
    ASSERT_TRUE(graph_.StartDisplay(error)) << error;
    ASSERT_TRUE(graph_.AddSink("speakers", "Test Speakers", 2, 1000, error)) << error;
    dir_ = graph_.runtime_dir() + "/test";
    std::filesystem::create_directories(dir_ + "/bin");
    InstallSystemctl();
    saved_path_ = std::getenv("PATH");
    setenv("PATH", (dir_ + "/bin:" + saved_path_).c_str(), 1);  // the graph's commands inherit it
    graph_.AddEnvironment("NO_AT_BRIDGE=1");
    notifications_ = dir_ + "/notifications.log";
    graph_.Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon",
                  "-l", notifications_});
    ASSERT_TRUE(test::PrivateGraph::WaitUntil(
        [&] {
          return graph_
                     .Run({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                           "--object-path", "/org/freedesktop/DBus", "--method",
                           "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.Notifications"})
                     .out.find("true") != std::string::npos;
        },
        15000, 100));
  }
  void TearDown() override {
    const long daemon = ReadNumber(dir_ + "/daemon.pid");
    if (daemon > 0) {
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    }
    graph_.Stop();
    setenv("PATH", saved_path_.c_str(), 1);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  // Records its arguments; "start halvexd" runs the real daemon in the background, as the user
  // manager would.
  void InstallSystemctl() {
    const std::string script = dir_ + "/bin/systemctl";
    std::ofstream(script) << "#!/bin/sh\n"
                             "echo \"$@\" >>" << dir_ << "/systemctl.calls\n"
                             "if [ \"$2 $3\" = \"start halvexd\" ]; then\n"
                             "  " << test::PrivateGraph::DaemonPath() << " >" << dir_
                          << "/halvexd.log 2>&1 &\n"
                             "  echo $! >" << dir_ << "/daemon.pid\n"
                             "fi\n";
    chmod(script.c_str(), 0755);
  }

  pid_t StartTray(const std::vector<std::string>& args, const std::string& err_name = "tray") {
    std::vector<std::string> argv = {TrayPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return graph_.Spawn(argv, "", dir_ + "/" + err_name + ".err");
  }
  std::string TrayErr(const std::string& name = "tray") const {
    return Slurp(dir_ + "/" + name + ".err");
  }
  std::string PidFile() const { return graph_.runtime_dir() + "/halvex-tray.pid"; }
  // Whether any top-level window titled "halvex" is on screen (the status icon's unembedded
  // window carries the title too, so each is asked).
  bool WindowMapped() const {
    std::istringstream tree(
        graph_.Run({"xwininfo", "-display", graph_.display(), "-root", "-tree"}).out);
    for (std::string line; std::getline(tree, line);) {
      if (line.find("\"halvex\":") == std::string::npos) continue;
      std::istringstream words(line);
      std::string id;
      words >> id;
      if (graph_.Run({"xwininfo", "-display", graph_.display(), "-id", id})
              .out.find("Map State: IsViewable") != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  bool Notified(const std::string& what) const {
    return Slurp(notifications_).find(what) != std::string::npos;
  }
  static std::string Artefact(const std::string& name) {
    const std::string dir = HALVEX_BINARY_DIR "/tests/tray/artefacts";
    std::filesystem::create_directories(dir);
    return dir + "/" + name;
  }

  test::PrivateGraph graph_;
  std::string dir_;
  std::string saved_path_;
  std::string notifications_;
};

TEST_F(TrayProgram, RefusesUnknownArgumentsWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  };
  const Case cases[] = {
      {{"--socket"}, "error: unrecognised argument: --socket"},
      {{"--hidden", "--unit"}, "error: unrecognised argument: --unit"},
      {{"--poll-ms", "fast"}, "error: unrecognised argument: --poll-ms"},
      {{"--frobnicate"}, "error: unrecognised argument: --frobnicate"},
      {{"-h"}, "Usage: " + TrayPath() + " [options]"},
      {{"--help"}, "Usage: " + TrayPath() + " [options]"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {TrayPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const test::CommandResult result = graph_.Run(argv);
    EXPECT_EQ(result.status, 1) << c.first_line;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), c.first_line);
    EXPECT_NE(result.err.find("  --socket PATH   control socket (default " + graph_.SocketPath() +
                              ")\n"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("(default 2000, minimum 250)"), std::string::npos);
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(PidFile()));
}

// No XEmbed tray and no StatusNotifierItem host under a bare X server: even --hidden shows the
// window, so the tray is never out of reach.
TEST_F(TrayProgram, WithoutAnyTrayHostTheWindowIsShownAnyway) {
  ASSERT_GT(graph_.StartDaemon(), 0);
  const pid_t tray = StartTray({"--hidden", "--no-start"});
  EXPECT_TRUE(test::PrivateGraph::WaitUntil([&] { return WindowMapped(); }, 8000, 100))
      << TrayErr();
  graph_.Screenshot(Artefact("program-no-tray-host.png"));
  EXPECT_EQ(graph_.Kill(tray), 0);
  EXPECT_FALSE(std::filesystem::exists(PidFile()));  // removed at orderly exit
}

TEST_F(TrayProgram, ANewTrayReplacesTheRunningOne) {
  const pid_t first = StartTray({"--no-start", "--hidden"}, "first");
  ASSERT_TRUE(test::PrivateGraph::WaitUntil([&] { return ReadNumber(PidFile()) == first; }, 8000))
      << TrayErr("first");
  // One that cannot open its display leaves the running tray alone.
  const test::CommandResult headless =
      graph_.Run({"env", "DISPLAY=:4242", TrayPath(), "--no-start", "--hidden"});
  EXPECT_EQ(headless.status, 1);
  EXPECT_EQ(headless.err, "halvex-tray: cannot open the display\n");
  EXPECT_TRUE(graph_.IsRunning(first));
  EXPECT_EQ(ReadNumber(PidFile()), first);

  const pid_t second = StartTray({"--no-start", "--hidden"}, "second");
  const std::string message =
      "halvex-tray: replaced running instance (pid " + std::to_string(first) + ")\n";
  EXPECT_TRUE(test::PrivateGraph::WaitUntil(
      [&] { return TrayErr("second").find(message) != std::string::npos; }, 8000))
      << TrayErr("second");
  EXPECT_EQ(graph_.Wait(first, 3000), 0);  // SIGTERM ends its main loop: an orderly exit
  EXPECT_EQ(ReadNumber(PidFile()), second);
  // --allow-multiple leaves the running one and its pid file alone.
  const pid_t third = StartTray({"--no-start", "--hidden", "--allow-multiple"}, "third");
  usleep(1500 * 1000);
  EXPECT_TRUE(graph_.IsRunning(second));
  EXPECT_TRUE(graph_.IsRunning(third));
  EXPECT_EQ(ReadNumber(PidFile()), second);
  graph_.Kill(third);
  graph_.Kill(second);
}

// Started with no daemon, the tray asks the user manager for it, announces it once it answers,
// and warns when it goes away.
TEST_F(TrayProgram, StartsTheDaemonUnitAndAnnouncesWhatHappensToIt) {
  const pid_t tray = StartTray({"--hidden", "--poll-ms", "250"});
  ASSERT_TRUE(test::PrivateGraph::WaitUntil(
      [&] { return Notified("Daemon started — pass-through. Switch Processing on to hear it."); },
      15000, 100))
      << TrayErr() << Slurp(notifications_) << Slurp(dir_ + "/halvexd.log");
  EXPECT_EQ(Slurp(dir_ + "/systemctl.calls"), "--user start halvexd\n");
  EXPECT_NE(Slurp(notifications_).find(R"(Notify "halvex" 0 "halvex" "halvex" "Daemon started)"),
            std::string::npos);

  const long daemon = ReadNumber(dir_ + "/daemon.pid");
  ASSERT_GT(daemon, 0);
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  EXPECT_TRUE(test::PrivateGraph::WaitUntil(
      [&] {
        return Notified(R"("dialog-warning" "halvex" "Daemon is not running — audio is not )"
                        R"(being processed." [] {"urgency": 2} 4000)");
      },
      5000, 100))
      << Slurp(notifications_);
  EXPECT_EQ(graph_.Kill(tray), 0);
}

// A desktop with a StatusNotifierItem host (a mock watcher here) gets the indicator with the same
// menu, the window stays closed, and the secondary click toggles processing.
TEST_F(TrayProgram, UsesAStatusNotifierHostWhenTheSessionHasOne) {
  ASSERT_GT(graph_.StartDaemon(), 0);
  const std::string watcher_log = dir_ + "/watcher.log";
  const std::string watcher = "org.kde.StatusNotifierWatcher";
  graph_.Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "-l", watcher_log, watcher,
                "/StatusNotifierWatcher", watcher});
  const auto mock = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"gdbus", "call", "--session", "-d", watcher, "-o",
                                     "/StatusNotifierWatcher", "-m"};
    argv.insert(argv.end(), args.begin(), args.end());
    return graph_.Run(argv).status == 0;
  };
  ASSERT_TRUE(test::PrivateGraph::WaitUntil(
      [&] {
        return mock({"org.freedesktop.DBus.Mock.AddMethod", watcher,
                     "RegisterStatusNotifierItem", "s", "", ""});
      },
      15000, 100));
  ASSERT_TRUE(mock({"org.freedesktop.DBus.Mock.AddProperty", watcher,
                    "IsStatusNotifierHostRegistered", "<true>"}));
  ASSERT_TRUE(mock({"org.freedesktop.DBus.Mock.AddProperty", watcher, "ProtocolVersion", "<0>"}));

  const pid_t tray = StartTray({"--hidden", "--no-start"});
  const std::string item = "/org/ayatana/NotificationItem/halvex";
  ASSERT_TRUE(test::PrivateGraph::WaitUntil(
      [&] { return Slurp(watcher_log).find(item) != std::string::npos; }, 8000, 100))
      << TrayErr();

  // The tray's connection that exports the item (it has another one for notifications).
  std::string connection, layout;
  std::istringstream names(graph_.Run({"gdbus", "call", "--session", "-d", "org.freedesktop.DBus",
                                       "-o", "/org/freedesktop/DBus", "-m",
                                       "org.freedesktop.DBus.ListNames"})
                               .out);
  for (std::string word; names >> word && connection.empty();) {
    const size_t start = word.find("':");
    if (start == std::string::npos) continue;
    const std::string name = word.substr(start + 1, word.find('\'', start + 1) - start - 1);
    const std::string pid =
        graph_.Run({"gdbus", "call", "--session", "-d", "org.freedesktop.DBus", "-o",
                    "/org/freedesktop/DBus", "-m",
                    "org.freedesktop.DBus.GetConnectionUnixProcessID", name})
            .out;
    if (pid.find("(uint32 " + std::to_string(tray) + ",)") == std::string::npos) continue;
    const test::CommandResult got =
        graph_.Run({"gdbus", "call", "--session", "-d", name, "-o", item + "/Menu", "-m",
                    "com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"});
    if (got.status == 0) {
      connection = name;
      layout = got.out;
    }
  }
  ASSERT_NE(connection, "");
  for (const char* label : {"Show controls", "Processing", "Output device", "Reload config",
                            "Milkdrop visualizer", "Restart daemon", "About Halvex", "Quit"}) {
    EXPECT_NE(layout.find(std::string("'") + label + "'"), std::string::npos) << label << layout;
  }
  EXPECT_FALSE(WindowMapped());

  ASSERT_EQ(graph_.Cli({"status"}).out.rfind("OK enabled=0 ", 0), 0u);
  const test::CommandResult click =
      graph_.Run({"gdbus", "call", "--session", "-d", connection, "-o", item, "-m",
                  "org.kde.StatusNotifierItem.SecondaryActivate", "0", "0"});
  EXPECT_EQ(click.status, 0) << click.err;
  EXPECT_TRUE(test::PrivateGraph::WaitUntil(
      [&] { return graph_.Cli({"status"}).out.rfind("OK enabled=1 ", 0) == 0; }, 5000, 100));
  EXPECT_EQ(graph_.Kill(tray), 0);
}

// The poll interval, counted in status requests to a socket that answers at once.
TEST_F(TrayProgram, PollsAtTheIntervalGivenButNeverFasterThan250Ms) {
  struct Case {
    const char* poll_ms;
    size_t min_polls, max_polls;  // in 1.6 s, beside the one at start-up
  };
  const Case cases[] = {{"100", 4, 7}, {"5000", 0, 0}};
  for (const Case& c : cases) {
    testing::FakeDaemon daemon("OK enabled=1 spatial_algorithm=deep_field\n");
    const pid_t tray =
        StartTray({"--no-start", "--allow-multiple", "--socket", daemon.path(), "--poll-ms",
                   c.poll_ms});
    ASSERT_TRUE(test::PrivateGraph::WaitUntil([&] { return !daemon.lines().empty(); }, 8000));
    usleep(1600 * 1000);
    size_t polls = 0;
    for (const std::string& line : daemon.lines()) polls += line == "status";
    EXPECT_GE(polls - 1, c.min_polls) << c.poll_ms;
    EXPECT_LE(polls - 1, c.max_polls) << c.poll_ms;
    graph_.Kill(tray);
  }
}

// A daemon that accepts and never answers costs the loop one client time-out at a time: the
// window still comes up and SIGTERM is still served promptly.
TEST_F(TrayProgram, StaysResponsiveAgainstASocketThatNeverAnswers) {
  testing::FakeDaemon silent("", testing::FakeDaemon::Mode::kSilent);
  const pid_t tray = StartTray({"--no-start", "--socket", silent.path()});
  EXPECT_TRUE(test::PrivateGraph::WaitUntil([&] { return WindowMapped(); }, 8000, 100));
  usleep(2500 * 1000);
  const auto start = Clock::now();
  kill(tray, SIGTERM);
  EXPECT_EQ(graph_.Wait(tray, 5000), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2600));
}

}  // namespace
}  // namespace halvex
