// What the presenter does for the window and the icon: its view, its actions and their requests.
#include "tray/tray_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/tray/fakes.h"

namespace halvex {
namespace {

using test::Presenter;
using test::PresetPresenter;
constexpr NotifyLevel kInfo = NotifyLevel::Info;

TEST_F(Presenter, ActionsThatWorkUpdateTheViewAndRefreshAsTheirRulesSay) {
  engine.devices = {{"speakers", "Test Speakers", 1000, 0, 0}};
  presenter.Refresh();
  ASSERT_TRUE(presenter.SetControl("spatial_algorithm", "matrix_surround"));
  EXPECT_EQ(presenter.View().algorithm, "Matrix surround");  // before the next poll
  EXPECT_TRUE(notifier.notices.empty());
  ASSERT_TRUE(presenter.ToggleEnabled());
  ASSERT_TRUE(presenter.Reload());
  EXPECT_EQ(notifier.notices, (std::vector<Notice>{{kInfo, "Pass-through (processing off)."},
                                                   {kInfo, "Configuration reloaded."}}));
  EXPECT_EQ(presenter.View().tooltip, "halvex — pass-through, Matrix surround");
  // Devices on the first refresh and every sixth after: refreshes 1 and 7 of these 9.
  for (int i = 0; i < 6; ++i) presenter.Refresh();
  EXPECT_EQ(std::count(engine.commands.begin(), engine.commands.end(), "devices"), 2);
  EXPECT_EQ(presenter.devices().at(0).description, "Test Speakers");
  EXPECT_EQ(presenter.View().latency, "") << "no cycle reported yet";
  engine.state.latency = {1024, 2048, 48000};
  presenter.Refresh();
  EXPECT_EQ(presenter.View().latency, "64.0 ms");  // engine and one cycle
  engine.up = false;
  presenter.Refresh();
  EXPECT_EQ(presenter.View().tooltip, "halvex — daemon not running");
  EXPECT_EQ(presenter.View().algorithm, "");
  EXPECT_EQ(presenter.View().latency, "");
}

TEST_F(PresetPresenter, RefusesBadNamesBeforeAskingAndReportsRefusals) {
  Show("head", "Day");
  std::string error;
  for (const char* bad : {"", "../x", ".dot", "two words"}) {
    EXPECT_FALSE(presenter.SavePreset(bad, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
  EXPECT_EQ(std::count_if(engine.commands.begin(), engine.commands.end(),
                          [](const std::string& c) { return c.rfind("preset ", 0) == 0; }),
            0);
  EXPECT_TRUE(presenter.BindCurrentToActive(true));
  EXPECT_NE(std::find(engine.commands.begin(), engine.commands.end(), "preset bind head Day"),
            engine.commands.end())
      << "the current preset, for this device";
  engine.fail_with = "ERR no such preset: gone";
  EXPECT_FALSE(presenter.LoadPreset("gone"));
  EXPECT_EQ(notifier.notices.back().body, "Loading preset gone failed: ERR no such preset: gone");
}

}  // namespace
}  // namespace halvex
