// Notifications as a real notification server on a private session bus receives them.
#include "tray/dbus_notifier.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/tray/integration/desktop_helpers.h"

namespace halvex {
namespace {

std::vector<std::string> Calls(const std::string& log) {
  std::ifstream in(log);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) calls.push_back(line.substr(line.find(' ') + 1));
  return calls;
}

TEST(NotificationServer, ReceivesSummaryBodyIconAndUrgencyAndEachReplacesTheLast) {
  test::PrivateGraph graph;
  std::string error;
  ASSERT_TRUE(graph.Start(error)) << error;
  test::UseGraphBus(graph);
  const std::string log = graph.runtime_dir() + "/notifications.log";
  ASSERT_TRUE(test::StartNotificationServer(graph, log));

  DbusNotifier notifier;
  ASSERT_TRUE(notifier.Connect());
  const std::pair<NotifyLevel, const char*> sent[] = {
      {NotifyLevel::Info, "Daemon connected."},
      {NotifyLevel::Warning, "Daemon is not running — audio is not being processed."},
      {NotifyLevel::Info, "Daemon started."},
  };
  // The server's record of each; a replaced notification keeps the id it was given.
  const std::vector<std::string> expected = {
      R"(Notify "halvex" 0 "halvex" "halvex" "Daemon connected." [] {"urgency": 1} 4000)",
      R"(Notify "halvex" 1 "dialog-warning" "halvex" "Daemon is not running — audio is not being processed." [] {"urgency": 2} 4000)",
      R"(Notify "halvex" 1 "halvex" "halvex" "Daemon started." [] {"urgency": 1} 4000)",
  };
  for (size_t i = 0; i < std::size(sent); ++i) {
    notifier.Notify(sent[i].first, "halvex", sent[i].second);
    ASSERT_TRUE(test::Pump(5000, [&] { return Calls(log).size() > i; }));
    test::Pump(50);  // the reply with the id comes after the server has logged the call
  }
  EXPECT_EQ(Calls(log), expected);

  // A call still in flight when its notifier goes away finishes harmlessly.
  {
    DbusNotifier brief;
    ASSERT_TRUE(brief.Connect());
    brief.Notify(NotifyLevel::Info, "halvex", "Configuration reloaded.");
  }
  EXPECT_TRUE(test::Pump(5000, [&] { return Calls(log).size() == 4; }));
  test::Pump(100);
}

}  // namespace
}  // namespace halvex
