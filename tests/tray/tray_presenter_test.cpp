#include "tray/tray_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tray/fakes.h"

namespace halvex {
namespace {

using test::FakeEngine;
using test::FakeNotifier;
using test::FakeService;
using test::Notice;

constexpr const char* kGone = "Daemon is not running — audio is not being processed.";
constexpr const char* kHint = " — pass-through. Switch Processing on to hear it.";

class Presenter : public ::testing::Test {
 protected:
  FakeEngine engine;
  FakeNotifier notifier;
  FakeService service;
  TrayPresenter presenter{engine, notifier, service};
};

TEST_F(Presenter, FirstRefreshAnnouncesNothingWhetherTheDaemonIsUpOrDown) {
  for (bool up : {true, false}) {
    FakeEngine fresh;
    fresh.up = up;
    FakeNotifier heard;
    TrayPresenter first(fresh, heard, service);
    first.Refresh();
    EXPECT_TRUE(heard.notices.empty()) << up;
  }
}

TEST_F(Presenter, AnnouncesEachChangeOnceAtItsLevel) {
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
  engine.state.config.spatial_algorithm = SpatialAlgorithm::kMatrixSteer;
  presenter.Refresh();
  const std::vector<Notice> expected = {
      {NotifyLevel::Warning, "halvex", kGone},
      {NotifyLevel::Info, "halvex", "Daemon connected."},
      {NotifyLevel::Info, "halvex", "Pass-through (processing off)."},
      {NotifyLevel::Info, "halvex", "Algorithm: Immersive."},
      {NotifyLevel::Info, "halvex", "Processing enabled."},
      {NotifyLevel::Info, "halvex", "Algorithm: Matrix steered."},
  };
  EXPECT_EQ(notifier.notices, expected);
}

// What a start or restart announces once the daemon answers again.
TEST_F(Presenter, SettlesAStartOrRestartWithTheOutcome) {
  struct Case {
    bool restart;
    bool on_before;     // processing when the request was made
    bool on_after;      // processing the new daemon reports
    bool enable_fails;  // switching processing back on fails
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
    FakeEngine daemon;
    FakeNotifier heard;
    FakeService manager;
    TrayPresenter p(daemon, heard, manager);
    daemon.up = !c.restart ? false : true;
    daemon.state.enabled = c.on_before;
    p.Refresh();
    ASSERT_TRUE(c.restart ? p.RestartDaemon() : p.StartIfStopped());
    daemon.up = false;
    p.Refresh();  // not back yet: still waiting, nothing said
    EXPECT_TRUE(heard.notices.empty());
    daemon.up = true;
    daemon.state.enabled = c.on_after;
    if (c.enable_fails) daemon.fail_with = "ERR something";
    daemon.commands.clear();
    const TrayView view = p.Refresh();
    ASSERT_EQ(heard.notices.size(), 1u) << c.body;  // and no "Daemon connected." on top
    EXPECT_EQ(heard.notices[0], (Notice{NotifyLevel::Info, "halvex", c.body}));
    const bool sent_on =
        std::find(daemon.commands.begin(), daemon.commands.end(), "on") != daemon.commands.end();
    EXPECT_EQ(sent_on, c.switched_on) << c.body;
    EXPECT_EQ(view.enabled, c.on_after || (c.switched_on && !c.enable_fails)) << c.body;
    EXPECT_EQ(manager.calls, std::vector<std::string>{c.restart ? "restart" : "start"});
  }
}

TEST_F(Presenter, APendingStartThatNeverAnswersExpiresWithAWarning) {
  engine.up = false;
  presenter.Refresh();
  ASSERT_TRUE(presenter.StartIfStopped());
  for (int i = 0; i < TrayPresenter::kPendingRefreshLimit - 1; ++i) presenter.Refresh();
  EXPECT_TRUE(notifier.notices.empty());
  presenter.Refresh();
  presenter.Refresh();
  const std::vector<Notice> expected = {
      {NotifyLevel::Warning, "halvex", "Starting the daemon failed: halvexd is not answering"}};
  EXPECT_EQ(notifier.notices, expected);
  // Once expired, a daemon that turns up later is an ordinary connection.
  engine.up = true;
  presenter.Refresh();
  EXPECT_EQ(notifier.notices.back().body, "Daemon connected.");
}

TEST_F(Presenter, StartIfStoppedLeavesARunningDaemonAlone) {
  presenter.Refresh();
  EXPECT_FALSE(presenter.StartIfStopped());
  EXPECT_TRUE(service.calls.empty());
  EXPECT_TRUE(notifier.notices.empty());
}

// Every failing action is one warning that names the action and carries the text it got.
TEST_F(Presenter, ReportsEachFailureAsOneWarning) {
  presenter.Refresh();
  engine.fail_with = "ERR not a number: x";
  service.ok = false;
  service.error_text = "systemctl not found";
  struct Case {
    std::function<bool()> act;
    std::string body;
  };
  const Case cases[] = {
      {[&] { return presenter.SetEnabled(false); }, "Disabling failed: ERR not a number: x"},
      {[&] { return presenter.SetEnabled(true); }, "Enabling failed: ERR not a number: x"},
      {[&] { return presenter.SetControl("wet_dry_ratio", "x"); },
       "Setting wet_dry_ratio failed: ERR not a number: x"},
      {[&] { return presenter.Reload(); },
       "Reloading the configuration failed: ERR not a number: x"},
      {[&] { return presenter.RestartDaemon(); }, "Restarting the daemon failed: systemctl not found"},
      {[&] { return presenter.LaunchVisualizer(); }, "Visualizer failed: systemctl not found"},
  };
  for (const Case& c : cases) {
    notifier.notices.clear();
    EXPECT_FALSE(c.act()) << c.body;
    EXPECT_EQ(notifier.notices, (std::vector<Notice>{{NotifyLevel::Warning, "halvex", c.body}}));
  }
  // A failed service request leaves nothing pending: the next refreshes stay quiet.
  notifier.notices.clear();
  engine.up = false;
  presenter.Refresh();
  engine.up = true;
  presenter.Refresh();
  EXPECT_EQ(notifier.Bodies(), (std::vector<std::string>{kGone, "Daemon connected."}));
}

TEST_F(Presenter, AStartThatFailsSaysSoWithTheServiceManagersText) {
  engine.up = false;
  presenter.Refresh();
  service.ok = false;
  EXPECT_FALSE(presenter.StartIfStopped());
  EXPECT_EQ(notifier.Bodies(),
            std::vector<std::string>{
                "Starting the daemon failed: systemctl --user start halvexd failed (is the unit "
                "installed?)"});
}

TEST_F(Presenter, ASuccessfulSetShowsTheNewValueAtOnceWithoutANotification) {
  presenter.Refresh();
  ASSERT_TRUE(presenter.SetControl("spatial_algorithm", "matrix_surround"));
  EXPECT_EQ(presenter.last().config.spatial_algorithm, SpatialAlgorithm::kMatrixSurround);
  EXPECT_EQ(presenter.View().algorithm, "Matrix surround");
  EXPECT_TRUE(notifier.notices.empty());
  EXPECT_EQ(engine.commands.back(), "set spatial_algorithm matrix_surround");
}

TEST_F(Presenter, SwitchingAndReloadingRefreshAndAnnounceLikeAnyChange) {
  presenter.Refresh();
  ASSERT_TRUE(presenter.ToggleEnabled());
  ASSERT_TRUE(presenter.Reload());
  EXPECT_EQ(notifier.Bodies(), (std::vector<std::string>{"Pass-through (processing off).",
                                                         "Configuration reloaded."}));
  EXPECT_FALSE(presenter.View().enabled);
}

TEST_F(Presenter, FetchesDevicesOnTheFirstRefreshAndEverySixthAfter) {
  engine.devices = {{"speakers", "Test Speakers", 1000, 0, 0}};
  int fetches = 0;
  for (int i = 0; i < 13; ++i) {
    engine.commands.clear();
    presenter.Refresh();
    fetches += engine.commands.front() == "devices";
  }
  EXPECT_EQ(fetches, 3);  // refreshes 1, 7 and 13
  ASSERT_EQ(presenter.devices().size(), 1u);
  EXPECT_EQ(presenter.devices()[0].description, "Test Speakers");
}

TEST_F(Presenter, ViewSummarisesTheLastStatus) {
  EXPECT_EQ(presenter.View().tooltip, "halvex — daemon not running");
  EXPECT_EQ(presenter.View().algorithm, "");
  engine.state.config.spatial_algorithm = SpatialAlgorithm::kEchoWidener;
  presenter.Refresh();
  EXPECT_EQ(presenter.View().tooltip, "halvex — on, Echo widener");
  engine.state.enabled = false;
  presenter.Refresh();
  EXPECT_EQ(presenter.View().tooltip, "halvex — pass-through, Echo widener");
}

TEST_F(Presenter, LaunchesTheVisualizerAsItsOwnUnit) {
  EXPECT_TRUE(presenter.LaunchVisualizer());
  EXPECT_EQ(service.calls, std::vector<std::string>{"launch halvex-vis"});
}

}  // namespace
}  // namespace halvex
