#include "daemon/daemon_options.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

TEST(DaemonArguments, NameTheFileOrAskForHelpVersionOrRefusal) {
  struct Case {
    std::vector<std::string> args;  // after the program name
    DaemonAction action;
    std::string config_path;
    std::string bad_option;
  };
  const Case cases[] = {
      {{}, DaemonAction::kRun, "", ""},
      // Words that are not options stay ignored; the value after --config is never an option.
      {{"foo", "--config", "/x/y.json", "bar"}, DaemonAction::kRun, "/x/y.json", ""},
      {{"--config", "--help"}, DaemonAction::kRun, "--help", ""},
      {{"--config"}, DaemonAction::kRun, "", ""},
      {{"--config", "/a.json", "--config", "/b.json"}, DaemonAction::kRun, "/a.json", ""},
      {{"-"}, DaemonAction::kRun, "", ""},
      {{"-h"}, DaemonAction::kHelp, "", ""},
      {{"--config", "/a.json", "--help"}, DaemonAction::kHelp, "/a.json", ""},
      {{"--version", "--bogus"}, DaemonAction::kVersion, "", ""},
      {{"--bogus", "--help"}, DaemonAction::kBadOption, "", "--bogus"},
      {{"--config=/a.json"}, DaemonAction::kBadOption, "", "--config=/a.json"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"halvexd"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const DaemonOptions options = ParseDaemonArguments(args);
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(options.action, c.action) << label;
    EXPECT_EQ(options.config_path, c.config_path) << label;
    EXPECT_EQ(options.bad_option, c.bad_option) << label;
  }
}

}  // namespace
}  // namespace halvex
