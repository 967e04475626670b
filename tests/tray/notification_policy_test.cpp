// Which notification the tray shows for what it sees, asks for and fails at: through the presenter
// that polls, as a user would meet them, and the policy's own edges.
#include "tray/notification_policy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tray/fakes.h"

namespace halvex {
namespace {

using test::Presenter;
using test::PresetPresenter;
constexpr NotifyLevel kInfo = NotifyLevel::Info;
constexpr NotifyLevel kWarning = NotifyLevel::Warning;
constexpr const char* kGone = "Daemon is not running — audio is not being processed.";
constexpr const char* kHint = " — pass-through. Switch Processing on to hear it.";

TEST_F(Presenter, AnnouncesEachChangeOnceButNothingOnTheFirstRefresh) {
  engine.up = false;
  presenter.Refresh();  // nothing to compare with, even with the daemon down
  engine.up = true;
  presenter.Refresh();
  engine.up = false;
  presenter.Refresh();
  presenter.Refresh();  // still away: nothing more
  engine.up = true;
  presenter.Refresh();
  engine.state.enabled = false;
  engine.state.config.spatial_algorithm = SpatialAlgorithm::kExperimental;
  presenter.Refresh();  // both in one interval: processing first
  engine.state.enabled = true;
  presenter.Refresh();
  const std::vector<Notice> expected = {
      {kInfo, "Daemon connected."},      {kWarning, kGone},
      {kInfo, "Daemon connected."},      {kInfo, "Pass-through (processing off)."},
      {kInfo, "Algorithm: Immersive."}, {kInfo, "Processing enabled."},
  };
  EXPECT_EQ(notifier.notices, expected);
  EXPECT_EQ(std::count(notifier.titles.begin(), notifier.titles.end(), "halvex"), 6);
  EXPECT_EQ(presenter.View().tooltip, "halvex — on, Immersive");
}

// What a start or restart announces once the daemon answers again.
TEST_F(Presenter, SettlesAStartOrRestartWithTheOutcomeAndRestoresProcessing) {
  struct Case {
    bool restart, on_before, on_after, enable_fails;
    std::string body;
    bool switched_on;  // an "on" command was sent
  };
  const Case cases[] = {
      {true, true, false, false, "Daemon restarted, processing restored.", true},
      {true, true, false, true, std::string("Daemon restarted") + kHint, true},
      {true, true, true, false, "Daemon restarted.", false},
      {true, false, false, false, std::string("Daemon restarted") + kHint, false},
      {false, false, true, false, "Daemon started.", false},
      {false, false, false, false, std::string("Daemon started") + kHint, false},
  };
  for (const Case& c : cases) {
    test::FakeEngine daemon;
    test::FakeNotifier heard;
    TrayPresenter p(daemon, heard, service);
    daemon.up = c.restart;
    daemon.state.enabled = c.on_before;
    p.Refresh();
    ASSERT_TRUE(c.restart ? p.RestartDaemon() : p.StartIfStopped());
    daemon.up = false;
    p.Refresh();  // not back yet: still waiting, nothing said
    daemon.up = true;
    daemon.state.enabled = c.on_after;
    daemon.fail_with = c.enable_fails ? "ERR no" : "";
    daemon.commands.clear();
    const TrayView view = p.Refresh();
    // One announcement, and no "Daemon connected." on top of it.
    EXPECT_EQ(heard.notices, (std::vector<Notice>{{kInfo, c.body}}));
    EXPECT_EQ(std::count(daemon.commands.begin(), daemon.commands.end(), "on"), c.switched_on);
    EXPECT_EQ(view.enabled, c.on_after || (c.switched_on && !c.enable_fails)) << c.body;
  }
  EXPECT_EQ(service.calls.size(), 6u);
}

TEST_F(Presenter, APendingStartThatNeverAnswersExpiresWithAWarning) {
  engine.up = false;
  presenter.Refresh();
  ASSERT_TRUE(presenter.StartIfStopped());
  for (int i = 0; i < TrayPresenter::kPendingRefreshLimit + 1; ++i) {
    EXPECT_EQ(notifier.notices.empty(), i < TrayPresenter::kPendingRefreshLimit);
    presenter.Refresh();
  }
  EXPECT_EQ(notifier.notices, (std::vector<Notice>{
                                  {kWarning, "Starting the daemon failed: halvexd is not answering"}}));
  engine.up = true;  // once expired, a daemon that turns up is an ordinary connection
  presenter.Refresh();
  EXPECT_EQ(notifier.notices.back().body, "Daemon connected.");
}

// Every failing action is one warning that names the action and carries the text it got.
TEST_F(Presenter, ReportsEachFailureAsOneWarning) {
  engine.up = false;
  presenter.Refresh();
  service.error = "systemctl not found";
  EXPECT_FALSE(presenter.StartIfStopped());
  EXPECT_EQ(notifier.notices,
            (std::vector<Notice>{{kWarning, "Starting the daemon failed: systemctl not found"}}));
  engine.up = true;
  presenter.Refresh();
  EXPECT_FALSE(presenter.StartIfStopped());  // reachable: does nothing
  engine.fail_with = "ERR not a number: x";
  notifier.notices.clear();
  const std::pair<std::function<bool()>, std::string> cases[] = {
      {[&] { return presenter.SetEnabled(false); }, "Disabling failed: ERR not a number: x"},
      {[&] { return presenter.SetEnabled(true); }, "Enabling failed: ERR not a number: x"},
      {[&] { return presenter.SetControl("bass", "x"); }, "Setting bass failed: ERR not a number: x"},
      {[&] { return presenter.Reload(); }, "Reloading the configuration failed: ERR not a number: x"},
      {[&] { return presenter.RestartDaemon(); }, "Restarting the daemon failed: systemctl not found"},
      {[&] { return presenter.LaunchVisualizer(); }, "Visualizer failed: systemctl not found"},
  };
  for (const auto& [act, body] : cases) {
    notifier.notices.clear();
    EXPECT_FALSE(act()) << body;
    EXPECT_EQ(notifier.notices, (std::vector<Notice>{{kWarning, body}}));
  }
  EXPECT_EQ(service.calls, (std::vector<std::string>{"start", "restart", "launch halvex-vis"}));
  // A failed service request leaves nothing pending: the next refreshes announce as usual.
  notifier.notices.clear();
  engine.up = false;
  presenter.Refresh();
  EXPECT_EQ(notifier.notices, (std::vector<Notice>{{kWarning, kGone}}));
}

TEST_F(PresetPresenter, SaysWhichPresetABindingLoadedForWhichDeviceOnce) {
  Show("spk", "Day");
  Show("spk", "Day");
  EXPECT_TRUE(notifier.notices.empty()) << "no device change, nothing to say";
  // The device changes a refresh before its preset shows: said once it does.
  Show("head", "Day");
  EXPECT_TRUE(notifier.notices.empty());
  Show("head", "night");
  Show("head", "night");
  Show("hdmi", "Day");
  EXPECT_EQ(notifier.notices, (std::vector<Notice>{{kInfo, "Preset night for head device."},
                                                   {kInfo, "Preset Day for hdmi device."}}));
  // A preset loaded by hand on the same device is the user's own doing.
  Show("hdmi", "night");
  EXPECT_EQ(notifier.notices.size(), 2u);
}

// Half-arrived polls say nothing: a daemon away both times, or preset replies that did not come.
TEST(NotificationPolicy, SaysNothingWithoutTwoPollsToCompare) {
  EXPECT_TRUE(ChangeNotices(EngineStatus{}, EngineStatus{}).empty());
  PresetState before;
  before.active = AudioDevice{"spk", "Speakers", 0, 0, 0};
  PresetState now;
  now.known = true;
  now.devices = {{"head", "night"}};
  now.current = "night";
  now.active = AudioDevice{"head", "Headset", 0, 0, 0};
  BoundPresetWatch watch;
  EXPECT_FALSE(watch.Update(before, now)) << "the earlier poll had no preset replies";
  before.known = true;
  EXPECT_EQ(watch.Update(before, now), (Notice{kInfo, "Preset night for Headset."}));
  EXPECT_FALSE(watch.Update(now, now)) << "said once";
}

}  // namespace
}  // namespace halvex
