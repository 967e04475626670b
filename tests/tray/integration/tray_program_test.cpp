// The real halvex-tray program on a private graph with a display, a notification server and a
// stand-in systemctl, against the real halvexd.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/tray/integration/desktop_helpers.h"

namespace halvex {
namespace {

using test::PrivateGraph;
using test::Slurp;

long ReadNumber(const std::string& path) {
  long value = 0;
  std::ifstream(path) >> value;
  return value;
}

const std::string kTray = HALVEX_BINARY_DIR "/tray/halvex-tray";

class TrayProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    // A daemon the stand-in systemctl starts outlives it; as our orphan it can be reaped here.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string error;
    ASSERT_TRUE(graph_.Start(error) && graph_.StartDisplay(error) &&
                graph_.AddSink("speakers", "Test Speakers", 2, 1000, error))
        << error;
    dir_ = graph_.runtime_dir() + "/test";
    std::filesystem::create_directories(dir_ + "/bin");
    // Records its arguments; "start halvexd" runs the real daemon in the background, as the user
    // manager would.
    std::ofstream(dir_ + "/bin/systemctl")
        << "#!/bin/sh\necho \"$@\" >>" << dir_ << "/systemctl.calls\n"
        << "if [ \"$2 $3\" = \"start halvexd\" ]; then\n  " << PrivateGraph::DaemonPath() << " 2>"
        << dir_ << "/halvexd.log &\n  echo $! >" << dir_ << "/daemon.pid\nfi\n";
    chmod((dir_ + "/bin/systemctl").c_str(), 0755);
    saved_path_ = std::getenv("PATH");
    setenv("PATH", (dir_ + "/bin:" + saved_path_).c_str(), 1);  // the graph's commands inherit it
    graph_.AddEnvironment("NO_AT_BRIDGE=1");
    ASSERT_TRUE(test::StartNotificationServer(graph_, dir_ + "/notifications.log"));
  }
  void TearDown() override {
    if (const long daemon = ReadNumber(dir_ + "/daemon.pid"); daemon > 0) {
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    }
    graph_.Stop();
    setenv("PATH", saved_path_.c_str(), 1);
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }

  pid_t StartTray(const std::vector<std::string>& args, const std::string& name = "tray") {
    std::vector<std::string> argv = {kTray};
    argv.insert(argv.end(), args.begin(), args.end());
    return graph_.Spawn(argv, "", dir_ + "/" + name + ".err");
  }
  std::string Err(const std::string& name = "tray") const { return Slurp(dir_ + "/" + name + ".err"); }
  std::string PidFile() const { return graph_.runtime_dir() + "/halvex-tray.pid"; }
  std::string Notifications() const { return Slurp(dir_ + "/notifications.log"); }
  std::string Gdbus(const std::string& dest, const std::string& path,
                    const std::vector<std::string>& call) const {
    std::vector<std::string> argv = {"gdbus", "call", "--session", "-d", dest, "-o", path, "-m"};
    argv.insert(argv.end(), call.begin(), call.end());
    const test::CommandResult result = graph_.Run(argv);
    return result.status == 0 ? result.out : "";
  }
  // Whether a top-level window titled "halvex" is on screen (the status icon's unembedded
  // window carries the title too, so each is asked).
  bool WindowMapped() const {
    const std::string display = graph_.display();
    std::istringstream tree(graph_.Run({"xwininfo", "-display", display, "-root", "-tree"}).out);
    for (std::string line, id; std::getline(tree, line);) {
      if (line.find("\"halvex\":") == std::string::npos || !(std::istringstream(line) >> id)) continue;
      if (graph_.Run({"xwininfo", "-display", display, "-id", id}).out.find("IsViewable") !=
          std::string::npos) {
        return true;
      }
    }
    return false;
  }

  PrivateGraph graph_;
  std::string dir_;
  std::string saved_path_;
};

TEST_F(TrayProgram, RefusesUnknownArgumentsWithTheUsage) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--hidden", "--socket"}, "error: unrecognised argument: --socket"},
      {{"--poll-ms", "fast"}, "error: unrecognised argument: --poll-ms"},
      {{"--frobnicate"}, "error: unrecognised argument: --frobnicate"},
      {{"--help"}, "Usage: " + kTray + " [options]"},
  };
  for (const auto& [args, first_line] : cases) {
    std::vector<std::string> argv = {kTray};
    argv.insert(argv.end(), args.begin(), args.end());
    const test::CommandResult result = graph_.Run(argv);
    EXPECT_EQ(result.status, 1) << first_line;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), first_line);
    EXPECT_NE(result.err.find("  --socket PATH   control socket (default " + graph_.SocketPath() +
                              ")\n  --poll-ms N     how often to re-read the daemon state "
                              "(default 2000, minimum 250)\n"),
              std::string::npos)
        << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(PidFile()));
}

// Started with no daemon, the tray asks the user manager for it, announces it once it answers and
// warns when it goes away. No XEmbed tray and no StatusNotifierItem host under a bare X server:
// even --hidden then shows the window, so the tray is never out of reach.
TEST_F(TrayProgram, StartsTheDaemonUnitAnnouncesItAndStaysReachableWithoutATrayHost) {
  const pid_t tray = StartTray({"--hidden", "--poll-ms", "250"});
  const std::string started = R"(Notify "halvex" 0 "halvex" "halvex" "Daemon started — )"
                              R"(pass-through. Switch Processing on to hear it." [] {"urgency": 1})";
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return Notifications().find(started) != std::string::npos; }, 15000, 100))
      << Err() << Notifications() << Slurp(dir_ + "/halvexd.log");
  EXPECT_EQ(Slurp(dir_ + "/systemctl.calls"), "--user start halvexd\n");
  EXPECT_TRUE(PrivateGraph::WaitUntil([&] { return WindowMapped(); }, 5000, 100));
  std::filesystem::create_directories(HALVEX_BINARY_DIR "/tests/tray/artefacts");
  graph_.Screenshot(HALVEX_BINARY_DIR "/tests/tray/artefacts/program-no-tray-host.png");

  const long daemon = ReadNumber(dir_ + "/daemon.pid");
  kill(daemon, SIGTERM);
  waitpid(daemon, nullptr, 0);
  const std::string gone = R"("dialog-warning" "halvex" "Daemon is not running — audio is not )"
                           R"(being processed." [] {"urgency": 2} 4000)";
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return Notifications().find(gone) != std::string::npos; }, 5000, 100))
      << Notifications();
  EXPECT_EQ(graph_.Kill(tray), 0);
  EXPECT_FALSE(std::filesystem::exists(PidFile()));  // removed at orderly exit
}

TEST_F(TrayProgram, ANewTrayReplacesTheRunningOneOnceItHasADisplay) {
  const pid_t first = StartTray({"--no-start", "--hidden"}, "first");
  ASSERT_TRUE(PrivateGraph::WaitUntil([&] { return ReadNumber(PidFile()) == first; }, 8000))
      << Err("first");
  const test::CommandResult headless =
      graph_.Run({"env", "DISPLAY=:4242", kTray, "--no-start", "--hidden"});
  EXPECT_EQ(headless.status, 1);
  EXPECT_EQ(headless.err, "halvex-tray: cannot open the display\n");
  EXPECT_TRUE(graph_.IsRunning(first));

  const pid_t second = StartTray({"--no-start", "--hidden"}, "second");
  const std::string message = "halvex-tray: replaced running instance (pid " +
                              std::to_string(first) + ")\n";
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return Err("second").find(message) != std::string::npos; }, 8000))
      << Err("second");
  EXPECT_EQ(graph_.Wait(first, 3000), 0);  // SIGTERM ends its main loop: an orderly exit
  EXPECT_EQ(ReadNumber(PidFile()), second);
  // --allow-multiple leaves the running one and its pid file alone.
  const pid_t third = StartTray({"--no-start", "--hidden", "--allow-multiple"}, "third");
  usleep(1500 * 1000);
  EXPECT_TRUE(graph_.IsRunning(second) && graph_.IsRunning(third));
  EXPECT_EQ(ReadNumber(PidFile()), second);
}

// A desktop with a StatusNotifierItem host (a mock watcher here) gets the indicator with the same
// menu, the window stays closed, and the secondary click toggles processing.
TEST_F(TrayProgram, UsesAStatusNotifierHostWhenTheSessionHasOne) {
  ASSERT_GT(graph_.StartDaemon(), 0);
  const std::string watcher = "org.kde.StatusNotifierWatcher", path = "/StatusNotifierWatcher";
  graph_.Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "-l", dir_ + "/watcher.log",
                watcher, path, watcher});
  ASSERT_TRUE(PrivateGraph::WaitUntil([&] { return test::BusNameOwned(graph_, watcher); }, 15000));
  const std::string mock = "org.freedesktop.DBus.Mock.";
  Gdbus(watcher, path, {mock + "AddMethod", watcher, "RegisterStatusNotifierItem", "s", "", ""});
  Gdbus(watcher, path, {mock + "AddProperty", watcher, "IsStatusNotifierHostRegistered", "<true>"});
  Gdbus(watcher, path, {mock + "AddProperty", watcher, "ProtocolVersion", "<0>"});

  const pid_t tray = StartTray({"--hidden", "--no-start"});
  const std::string item = "/org/ayatana/NotificationItem/halvex";
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return Slurp(dir_ + "/watcher.log").find(item) != std::string::npos; }, 8000))
      << Err();
  // The tray's connection that exports the item (its notifier has another one).
  std::string connection, layout;
  std::istringstream names(
      Gdbus("org.freedesktop.DBus", "/org/freedesktop/DBus", {"org.freedesktop.DBus.ListNames"}));
  for (std::string word; names >> word && layout.empty();) {
    const size_t start = word.find("':");
    if (start == std::string::npos) continue;
    connection = word.substr(start + 1, word.find('\'', start + 1) - start - 1);
    if (Gdbus("org.freedesktop.DBus", "/org/freedesktop/DBus",
              {"org.freedesktop.DBus.GetConnectionUnixProcessID", connection})
            .find("(uint32 " + std::to_string(tray) + ",)") != std::string::npos) {
      layout = Gdbus(connection, item + "/Menu",
                     {"com.canonical.dbusmenu.GetLayout", "--", "0", "-1", "[]"});
    }
  }
  for (const char* label : {"Show controls", "Processing", "Output device", "Reload config",
                            "Milkdrop visualizer", "Restart daemon", "About Halvex", "Quit"}) {
    EXPECT_NE(layout.find(std::string("'") + label + "'"), std::string::npos) << label << layout;
  }
  EXPECT_FALSE(WindowMapped());
  ASSERT_EQ(graph_.Cli({"status"}).out.rfind("OK enabled=0 ", 0), 0u);
  Gdbus(connection, item, {"org.kde.StatusNotifierItem.SecondaryActivate", "0", "0"});
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return graph_.Cli({"status"}).out.rfind("OK enabled=1 ", 0) == 0; }, 5000));
}

}  // namespace
}  // namespace halvex
