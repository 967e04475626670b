// Notifications as a real notification server on a private session bus receives them.
#include "tray/dbus_notifier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/daemon/integration/pw_graph.h"
#include "tests/tray/integration/gtk_helpers.h"

namespace halvex {
namespace {

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A line of the mock's log without its leading time stamp.
std::string Call(const std::string& line) { return line.substr(line.find(' ') + 1); }

class NotificationServer : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(graph_.Start(error)) << error;
    for (const std::string& entry : graph_.Environment()) {
      if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
        setenv("DBUS_SESSION_BUS_ADDRESS", entry.substr(25).c_str(), 1);
      }
    }
    log_ = graph_.runtime_dir() + "/notifications.log";
    graph_.Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon",
                  "-l", log_});
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

  bool WaitForLines(size_t count) {
    return test::Pump(5000, [&] { return Lines(log_).size() >= count; });
  }

  test::PrivateGraph graph_;
  std::string log_;
};

TEST_F(NotificationServer, ReceivesSummaryBodyIconAndUrgencyAndEachReplacesTheLast) {
  DbusNotifier notifier;
  ASSERT_TRUE(notifier.Connect());
  struct Case {
    NotifyLevel level;
    const char* body;
    std::string expected;  // the mock's record; a replaced notification keeps its id
  };
  const Case cases[] = {
      {NotifyLevel::Info, "Daemon connected.",
       R"(Notify "halvex" 0 "halvex" "halvex" "Daemon connected." [] {"urgency": 1} 4000)"},
      {NotifyLevel::Warning, "Daemon is not running — audio is not being processed.",
       R"(Notify "halvex" 1 "dialog-warning" "halvex" "Daemon is not running — audio is not being processed." [] {"urgency": 2} 4000)"},
      {NotifyLevel::Info, "Daemon started.",
       R"(Notify "halvex" 1 "halvex" "halvex" "Daemon started." [] {"urgency": 1} 4000)"},
  };
  size_t count = 0;
  for (const Case& c : cases) {
    notifier.Notify(c.level, "halvex", c.body);
    ASSERT_TRUE(WaitForLines(++count)) << c.body;
    test::Pump(50);  // the reply carrying the id arrives after the mock has logged the call
    EXPECT_EQ(Call(Lines(log_).back()), c.expected);
  }
}

TEST_F(NotificationServer, ACallInFlightOutlivesTheNotifierHarmlessly) {
  {
    DbusNotifier notifier;
    ASSERT_TRUE(notifier.Connect());
    notifier.Notify(NotifyLevel::Info, "halvex", "Configuration reloaded.");
  }
  EXPECT_TRUE(WaitForLines(1));
  test::Pump(200);
}

TEST(NoSessionBus, ConnectFailsAndNotificationsAreDropped) {
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus", 1);
  DbusNotifier notifier;
  EXPECT_FALSE(notifier.Connect());
  notifier.Notify(NotifyLevel::Warning, "halvex", "dropped");
  test::Pump(50);
}

}  // namespace
}  // namespace halvex
