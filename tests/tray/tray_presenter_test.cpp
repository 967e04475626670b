#include "tray/tray_presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/tray/fakes.h"

namespace halvex {
namespace {

using test::Notice;
constexpr NotifyLevel kInfo = NotifyLevel::Info;
constexpr NotifyLevel kWarning = NotifyLevel::Warning;
constexpr const char* kGone = "Daemon is not running — audio is not being processed.";
constexpr const char* kHint = " — pass-through. Switch Processing on to hear it.";

class Presenter : public ::testing::Test {
 protected:
  test::FakeEngine engine;
  test::FakeNotifier notifier;
  test::FakeService service;
  TrayPresenter presenter{engine, notifier, service};
};

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

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

class PresetPresenter : public Presenter {
 protected:
  void Show(const std::string& device, const std::string& current) {
    engine.presets.known = true;
    engine.presets.names = {"night", "Day"};
    engine.presets.devices = {{"head", "night"}};
    engine.presets.fallback = "Day";
    engine.presets.active = AudioDevice{device, device + " device", 0, 0, 0};
    engine.presets.current = current;
    presenter.Refresh();
  }
};

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
