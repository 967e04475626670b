// The real window under Xvfb against a real halvexd on a private PipeWire graph.
#include "tray/tray_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "core/config/config_names.h"
#include "tests/daemon/integration/pw_graph.h"
#include "tests/tray/fakes.h"
#include "tests/tray/integration/gtk_helpers.h"
#include "tray/control_spec.h"
#include "tray/remote_engine.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

// The real engine client, with every set it passes on and when.
class RecordingEngine : public EngineRemote {
 public:
  explicit RecordingEngine(std::string socket) : real_(MakeRemoteEngine(std::move(socket))) {}
  struct Sent {
    std::string key, value;
    Clock::time_point at;
  };
  std::vector<Sent> sets;

  bool Fetch(EngineStatus& status) override { return real_->Fetch(status); }
  bool SetEnabled(bool on, std::string& error) override { return real_->SetEnabled(on, error); }
  bool SetParam(const std::string& key, const std::string& value, std::string& error) override {
    sets.push_back({key, value, Clock::now()});
    return real_->SetParam(key, value, error);
  }
  bool Reload(std::string& error) override { return real_->Reload(error); }
  std::vector<AudioDevice> Devices() override { return real_->Devices(); }

 private:
  std::unique_ptr<EngineRemote> real_;
};

// One graph, display and daemon for the whole suite; GTK can open only one display per process.
class TrayWindowLive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    graph_ = new test::PrivateGraph;
    std::string error;
    if (!graph_->Start(error) || !graph_->StartDisplay(error) ||
        !graph_->AddSink("speakers", "Test Speakers", 2, 1000, error)) {
      setup_error_ = error;
      return;
    }
    if (graph_->StartDaemon() < 0) {
      setup_error_ = "halvexd did not start: " + graph_->DaemonLog();
      return;
    }
    setenv("DISPLAY", graph_->display().c_str(), 1);
    setenv("NO_AT_BRIDGE", "1", 1);
    if (!gtk_init_check(nullptr, nullptr)) setup_error_ = "gtk cannot open " + graph_->display();
  }
  static void TearDownTestSuite() {
    delete graph_;
    graph_ = nullptr;
  }

  void SetUp() override {
    ASSERT_EQ(setup_error_, "");
    Cli({"set", "spatial_algorithm", "deep_field"});
    Cli({"set", "output_device", "auto"});
    engine_ = std::make_unique<RecordingEngine>(graph_->SocketPath());
    presenter_ = std::make_unique<TrayPresenter>(*engine_, notifier_, service_);
    presenter_->Refresh();
    window_ = std::make_unique<TrayWindow>(*presenter_);
    window_->Build();
    window_->Show();
    test::Pump(200);
  }

  static void Cli(const std::vector<std::string>& args) {
    const test::CommandResult result = graph_->Cli(args);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
  }
  std::string Status() const { return graph_->Cli({"status"}).out; }
  void Reload() {
    presenter_->Refresh();
    window_->Sync();
    test::Pump(100);
  }
  GtkWidget* Widget(const std::string& name) const {
    GtkWidget* found = test::FindByName(window_->widget(), name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  // Labels of the rows shown, in window order.
  std::vector<std::string> ShownRows() const {
    std::vector<std::string> shown;
    for (size_t i = 0; i < ControlSpecCount(); ++i) {
      GtkWidget* label = Widget(std::string(ControlSpecAt(i).key) + "-label");
      GtkWidget* widget = Widget(ControlSpecAt(i).key);
      EXPECT_EQ(gtk_widget_get_visible(label), gtk_widget_get_visible(widget));
      if (gtk_widget_get_visible(label)) shown.push_back(gtk_label_get_text(GTK_LABEL(label)));
    }
    return shown;
  }
  static std::string Artefact(const std::string& name) {
    const std::string dir = HALVEX_BINARY_DIR "/tests/tray/artefacts";
    std::filesystem::create_directories(dir);
    return dir + "/" + name;
  }

  static test::PrivateGraph* graph_;
  static std::string setup_error_;
  std::unique_ptr<RecordingEngine> engine_;
  test::FakeNotifier notifier_;
  test::FakeService service_;
  std::unique_ptr<TrayPresenter> presenter_;
  std::unique_ptr<TrayWindow> window_;
};

test::PrivateGraph* TrayWindowLive::graph_ = nullptr;
std::string TrayWindowLive::setup_error_;

const std::vector<std::string> kOutputRows = {"Bass",         "Crispness",    "Crispness corner",
                                              "Haas widener", "Haas channel", "Wet / dry"};
std::vector<std::string> With(std::vector<std::string> rows) {
  rows.insert(rows.end(), kOutputRows.begin(), kOutputRows.end());
  return rows;
}

TEST_F(TrayWindowLive, ShowsTheRowsOfTheAlgorithmTheDaemonRuns) {
  struct Case {
    const char* algorithm;
    std::vector<std::string> rows;
    const char* screenshot;
  };
  const Case cases[] = {
      {"echo_widener",
       With({"Algorithm", "Width", "Room colour", "Echo level", "Steering", "Steering depth",
             "Re-staging", "Anti-flutter"}),
       "window-echo_widener.png"},
      {"matrix_surround", With({"Algorithm", "Render for", "Surround level"}), nullptr},
      {"matrix_steer",
       With({"Algorithm", "Render for", "Surround level", "Centre width", "Dimension",
             "Panorama"}),
       nullptr},
      {"deep_field",
       With({"Algorithm", "Render for", "Distance", "Space size", "Field level", "Air absorption",
             "Envelopment", "Recycle"}),
       "window-deep_field.png"},
  };
  for (const Case& c : cases) {
    Cli({"set", "spatial_algorithm", c.algorithm});
    Reload();
    EXPECT_EQ(ShownRows(), c.rows) << c.algorithm;
    GtkWidget* combo = Widget("spatial_algorithm");
    EXPECT_STREQ(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(combo)),
                 ChoiceLabel("spatial_algorithm", c.algorithm));
    if (c.screenshot != nullptr) {
      test::Pump(300);
      EXPECT_TRUE(graph_->Screenshot(Artefact(c.screenshot)));
    }
  }
}

TEST_F(TrayWindowLive, ShowsTheValuesTheDaemonReports) {
  Cli({"set", "spatial_algorithm", "echo_widener"});
  Cli({"set", "wet_dry_ratio", "0.3"});
  Cli({"set", "haas_channel", "R"});
  Cli({"set", "alternate_tap_polarity", "0"});
  Cli({"set", "treble_shelf_hz", "8000"});
  Reload();
  EXPECT_FLOAT_EQ(gtk_range_get_value(GTK_RANGE(Widget("wet_dry_ratio"))), 0.3f);
  EXPECT_FLOAT_EQ(gtk_range_get_value(GTK_RANGE(Widget("treble_shelf_hz"))), 8000.0f);
  EXPECT_STREQ(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(Widget("haas_channel"))),
               "Right");
  EXPECT_FALSE(gtk_switch_get_active(GTK_SWITCH(Widget("alternate_tap_polarity"))));
  EXPECT_EQ(gtk_scale_get_digits(GTK_SCALE(Widget("treble_shelf_hz"))), 0);
  EXPECT_EQ(gtk_scale_get_digits(GTK_SCALE(Widget("haas_delay_ms"))), 1);
  EXPECT_EQ(gtk_scale_get_digits(GTK_SCALE(Widget("wet_dry_ratio"))), 2);
  // Values set from the daemon's side are never sent back to it.
  EXPECT_TRUE(engine_->sets.empty());
  Cli({"set", "haas_channel", "L"});
  Cli({"set", "alternate_tap_polarity", "1"});
}

TEST_F(TrayWindowLive, AMovingSliderSendsOneValuePerIntervalThatTheDaemonThenReports) {
  GtkRange* slider = GTK_RANGE(Widget("wet_dry_ratio"));
  const auto first_move = Clock::now();
  gtk_range_set_value(slider, 0.4);
  test::Pump(30);
  gtk_range_set_value(slider, 0.45);
  test::Pump(30);
  gtk_range_set_value(slider, 0.62);
  ASSERT_TRUE(test::Pump(1000, [&] { return !engine_->sets.empty(); }));
  test::Pump(200);
  ASSERT_EQ(engine_->sets.size(), 1u);
  EXPECT_EQ(engine_->sets[0].key, "wet_dry_ratio");
  EXPECT_EQ(engine_->sets[0].value, "0.62");
  const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
                         engine_->sets[0].at - first_move)
                         .count();
  EXPECT_GE(delay, TrayWindow::kDebounceMs);
  EXPECT_LT(delay, TrayWindow::kDebounceMs + 150);
  EXPECT_NE(Status().find(" wet_dry_ratio=0.62 "), std::string::npos) << Status();

  gtk_range_set_value(slider, 0.8);  // a later movement starts a new interval
  ASSERT_TRUE(test::Pump(1000, [&] { return engine_->sets.size() == 2; }));
  EXPECT_EQ(engine_->sets[1].value, "0.8");
  EXPECT_NE(Status().find(" wet_dry_ratio=0.8 "), std::string::npos) << Status();
}

TEST_F(TrayWindowLive, PickingAnAlgorithmShowsItsRowsAndAutomaticSendsAuto) {
  gtk_combo_box_set_active(GTK_COMBO_BOX(Widget("spatial_algorithm")), 3);  // Matrix surround
  test::Pump(100);
  EXPECT_NE(Status().find("spatial_algorithm=matrix_surround"), std::string::npos);
  EXPECT_EQ(ShownRows(), With({"Algorithm", "Render for", "Surround level"}));

  Cli({"set", "output_device", "speakers"});
  Reload();
  GtkComboBox* devices = GTK_COMBO_BOX(Widget("output_device"));
  EXPECT_STREQ(gtk_combo_box_get_active_id(devices), "speakers");
  EXPECT_STREQ(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(devices)), "Test Speakers");
  engine_->sets.clear();
  gtk_combo_box_set_active(devices, 0);
  test::Pump(100);
  ASSERT_EQ(engine_->sets.size(), 1u);
  EXPECT_EQ(engine_->sets[0].key + "=" + engine_->sets[0].value, "output_device=auto");
  EXPECT_NE(Status().find(" output_device=auto "), std::string::npos) << Status();
}

TEST_F(TrayWindowLive, AnUnreachableDaemonGreysEverythingOut) {
  auto gone = MakeRemoteEngine(graph_->runtime_dir() + "/nobody-listens.sock");
  TrayPresenter presenter(*gone, notifier_, service_);
  presenter.Refresh();
  window_.reset();
  TrayWindow window(presenter);
  window.Build();
  window.Show();
  test::Pump(300);
  GtkWidget* root = window.widget();
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(test::FindByName(root, "status"))),
               "halvexd is not running");
  for (const char* name : {"processing", "output_device", "spatial_algorithm", "wet_dry_ratio"}) {
    GtkWidget* widget = test::FindByName(root, name);
    ASSERT_NE(widget, nullptr) << name;
    EXPECT_FALSE(gtk_widget_is_sensitive(widget)) << name;
  }
  EXPECT_TRUE(graph_->Screenshot(Artefact("window-unreachable.png")));
}

}  // namespace
}  // namespace halvex
