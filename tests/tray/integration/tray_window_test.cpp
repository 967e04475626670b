// The real window under Xvfb against a real halvexd on a private PipeWire graph.
#include "tray/tray_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "core/config/config_names.h"
#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"
#include "tests/tray/fakes.h"
#include "tests/tray/integration/desktop_helpers.h"
#include "tray/control_spec.h"
#include "tray/remote_engine.h"
#include "tray/tray_icon.h"

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
  void FetchPresets(PresetState& state) override { real_->FetchPresets(state); }
  bool PresetCommand(const std::string& args, std::string& error) override {
    return real_->PresetCommand(args, error);
  }

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
        !graph_->AddSink("speakers", "Test Speakers", 2, 1000, error) ||
        !graph_->AddSink("desk", "Desk Speakers", 2, 500, error)) {
      setup_error_ = error;
      return;
    }
    if (graph_->StartDaemon() < 0) {
      setup_error_ = "halvexd did not start: " + graph_->DaemonLog();
      return;
    }
    setenv("DISPLAY", graph_->display().c_str(), 1);
    test::UseGraphBus(*graph_);  // the icon asks the bus for a StatusNotifierItem host
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
                                              "Haas widener", "Haas channel", "Wet / dry",
                                              "Latency"};
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
  Cli({"set", "quantum", "512"});
  Reload();
  EXPECT_STREQ(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(Widget("quantum"))),
               "512 frames (10.7 ms)");
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
  Cli({"set", "quantum", "2048"});
}

TEST_F(TrayWindowLive, AMovingSliderSendsOneValuePerIntervalThatTheDaemonThenReports) {
  GtkRange* slider = GTK_RANGE(Widget("wet_dry_ratio"));
  // Movements 100 ms apart without the loop running, so no timer can fire in between.
  const auto first_move = Clock::now();
  gtk_range_set_value(slider, 0.4);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gtk_range_set_value(slider, 0.45);
  const auto last_move = Clock::now();
  gtk_range_set_value(slider, 0.62);
  ASSERT_TRUE(test::Pump(1000, [&] { return !engine_->sets.empty(); }));
  test::Pump(200);
  ASSERT_EQ(engine_->sets.size(), 1u);
  EXPECT_EQ(engine_->sets[0].key + "=" + engine_->sets[0].value, "wet_dry_ratio=0.62");
  // Timed from the first movement: sooner than a timer restarted by the last one would fire.
  EXPECT_GE(engine_->sets[0].at - first_move, std::chrono::milliseconds(TrayWindow::kDebounceMs));
  EXPECT_LT(engine_->sets[0].at - last_move, std::chrono::milliseconds(TrayWindow::kDebounceMs));
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

TEST_F(TrayWindowLive, WhileSoundPlaysTheStatusShowsTheLatencyAndTheLatencyRowItsChoice) {
  const std::string silence = graph_->home() + "/silence.wav";
  ASSERT_EQ(graph_->Run({"sox", "-n", "-r", "48000", "-c", "2", silence, "trim", "0", "20"}).status,
            0);
  const pid_t player = graph_->Spawn({"pw-play", "--target", "halvex", silence});
  GtkWidget* status = Widget("status");
  const auto shown = [&] { return std::string(gtk_label_get_text(GTK_LABEL(status))); };
  // Deep field adds nothing; one 2048-frame cycle is 42.7 ms.
  EXPECT_TRUE(test::Pump(8000, [&] {
    Reload();
    return shown().ends_with(" — 42.7 ms");
  })) << shown();
  EXPECT_STREQ(gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(Widget("quantum"))),
               "2048 frames (42.7 ms)");
  // The last rows, where the Latency row is.
  GtkWidget* scroller = gtk_widget_get_ancestor(Widget("quantum"), GTK_TYPE_SCROLLED_WINDOW);
  ASSERT_NE(scroller, nullptr);
  GtkAdjustment* rows = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller));
  gtk_adjustment_set_value(rows, gtk_adjustment_get_upper(rows));
  test::Pump(300);
  EXPECT_TRUE(graph_->Screenshot(Artefact("window-latency.png")));
  graph_->Kill(player);
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

// A menu item by its label, looking into submenus.
GtkWidget* MenuItem(GtkWidget* menu, const std::string& label) {
  GList* items = gtk_container_get_children(GTK_CONTAINER(menu));
  GtkWidget* found = nullptr;
  for (GList* i = items; i != nullptr && found == nullptr; i = i->next) {
    GtkWidget* item = GTK_WIDGET(i->data);
    if (!GTK_IS_MENU_ITEM(item)) continue;
    const gchar* text = gtk_menu_item_get_label(GTK_MENU_ITEM(item));
    if (text != nullptr && label == text) found = item;
    GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(item));
    if (found == nullptr && sub != nullptr) found = MenuItem(sub, label);
  }
  g_list_free(items);
  return found;
}

TEST_F(TrayWindowLive, TheIconMenuSendsOnlyWhatTheUserPicked) {
  TrayIcon icon(*presenter_, *window_);
  icon.Build();
  GtkWidget* menu = icon.menu();
  GtkWidget* automatic = MenuItem(menu, "Automatic");
  GtkWidget* desk = MenuItem(menu, "Desk Speakers");
  ASSERT_NE(automatic, nullptr);
  ASSERT_NE(desk, nullptr);
  ASSERT_NE(MenuItem(menu, "Test Speakers"), nullptr);
  EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(automatic)));
  // Each choice toggles two radio items, the one left and the one chosen; only the second acts.
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(desk), TRUE);
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(automatic), TRUE);
  std::vector<std::string> sent;
  for (const auto& set : engine_->sets) sent.push_back(set.key + "=" + set.value);
  EXPECT_EQ(sent, (std::vector<std::string>{"output_device=desk", "output_device=auto"}));

  GtkWidget* processing = MenuItem(menu, "Processing");
  ASSERT_NE(processing, nullptr);
  EXPECT_FALSE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(processing)));
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(processing), TRUE);
  EXPECT_EQ(Status().rfind("OK enabled=1 ", 0), 0u) << Status();
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(processing), FALSE);
  EXPECT_EQ(Status().rfind("OK enabled=0 ", 0), 0u) << Status();
}

// Synthesised window-manager events: the window hides on close and minimise only while a status
// icon can bring it back.
TEST_F(TrayWindowLive, ClosingOrMinimisingHidesTheWindowOnlyWhenAnIconCanBringItBack) {
  TrayIcon icon(*presenter_, *window_);
  icon.Build();
  EXPECT_TRUE(test::Pump(TrayIcon::kEmbedWaitMs + 1000,
                         [&] { return icon.host() != TrayHost::Pending; }));
  EXPECT_EQ(icon.host(), TrayHost::None);  // a bare X server has neither kind of tray
  GtkWidget* window = window_->widget();
  EXPECT_TRUE(gtk_widget_get_visible(window));

  struct Case {
    bool only_way_in;
    GdkEventType type;
  };
  const Case cases[] = {{true, GDK_DELETE},
                        {true, GDK_WINDOW_STATE},
                        {false, GDK_DELETE},
                        {false, GDK_WINDOW_STATE}};
  for (const Case& c : cases) {
    window_->SetOnlyWayIn(c.only_way_in);
    window_->Show();
    test::Pump(100);
    GdkEvent* event = gdk_event_new(c.type);
    event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    if (c.type == GDK_WINDOW_STATE) {
      event->window_state.changed_mask = GDK_WINDOW_STATE_ICONIFIED;
      event->window_state.new_window_state = GDK_WINDOW_STATE_ICONIFIED;
    }
    gtk_widget_event(window, event);
    gdk_event_free(event);
    test::Pump(100);
    EXPECT_EQ(gtk_widget_get_visible(window), c.only_way_in) << c.type;
  }
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

GtkWidget* Toplevel(const std::string& name) {
  GList* windows = gtk_window_list_toplevels();
  GtkWidget* found = nullptr;
  for (GList* w = windows; w != nullptr && found == nullptr; w = w->next) {
    if (name == gtk_widget_get_name(GTK_WIDGET(w->data))) found = GTK_WIDGET(w->data);
  }
  g_list_free(windows);
  return found;
}

// Drives the modal "Save as…" dialog from inside its own loop: a bad name first, then a good one.
struct DialogScript {
  test::PrivateGraph* graph = nullptr;
  std::string screenshot;
  int step = 0;
  std::string problem;  // what the dialog said about the bad name
};

gboolean OnDialogStep(gpointer data) {
  auto* script = static_cast<DialogScript*>(data);
  GtkWidget* dialog = Toplevel("preset-dialog");
  if (dialog == nullptr) return ++script->step < 40 ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  GtkWidget* entry = test::FindByName(dialog, "preset-name");
  GtkWidget* problem = test::FindByName(dialog, "preset-problem");
  if (script->problem.empty()) {
    gtk_entry_set_text(GTK_ENTRY(entry), "../evening");
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    script->problem = "asked";
    return G_SOURCE_CONTINUE;
  }
  script->problem = gtk_label_get_text(GTK_LABEL(problem));
  script->graph->Screenshot(script->screenshot);
  gtk_entry_set_text(GTK_ENTRY(entry), "Evening");
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  return G_SOURCE_REMOVE;
}

TEST_F(TrayWindowLive, ThePresetRowAndMenuLoadSaveAndBindThroughTheDaemon) {
  Cli({"set", "distance", "2"});
  Cli({"preset", "save", "near"});
  Cli({"set", "distance", "6"});
  Cli({"preset", "save", "far"});
  Reload();
  GtkComboBox* combo = GTK_COMBO_BOX(Widget("preset"));
  EXPECT_STREQ(gtk_combo_box_get_active_id(combo), "far");
  GtkWidget* bind = Widget("preset-bind");
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(bind)), "Use for Test Speakers");
  EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(bind)));

  gtk_combo_box_set_active_id(combo, "near");
  EXPECT_EQ(test::StatusValue(Status(), "distance"), "2");
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(bind), TRUE);
  EXPECT_EQ(graph_->Cli({"preset", "bindings"}).out, "OK bindings\tspeakers=near\n");
  test::Pump(300);
  EXPECT_TRUE(graph_->Screenshot(Artefact("window-presets.png")));

  DialogScript script;
  script.graph = graph_;
  script.screenshot = Artefact("window-preset-dialog.png");
  g_timeout_add(150, OnDialogStep, &script);
  gtk_button_clicked(GTK_BUTTON(Widget("preset-save")));
  EXPECT_NE(script.problem.find("letters, digits"), std::string::npos) << script.problem;
  EXPECT_EQ(graph_->Cli({"preset", "list"}).out, "OK presets\tEvening\tfar\tnear\n");

  TrayIcon icon(*presenter_, *window_);
  icon.Build();
  icon.Sync();
  GtkWidget* far = MenuItem(icon.menu(), "far");
  GtkWidget* evening = MenuItem(icon.menu(), "Evening");
  ASSERT_NE(far, nullptr);
  ASSERT_NE(evening, nullptr);
  EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(evening)));
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(far), TRUE);
  EXPECT_EQ(test::StatusValue(Status(), "distance"), "6");
  EXPECT_EQ(graph_->Cli({"preset"}).out, "OK preset far\n");

  // The submenu as the user sees it.
  GtkWidget* presets = gtk_menu_item_get_submenu(GTK_MENU_ITEM(MenuItem(icon.menu(), "Presets")));
  gtk_menu_popup_at_widget(GTK_MENU(presets), window_->widget(), GDK_GRAVITY_NORTH_WEST,
                           GDK_GRAVITY_NORTH_WEST, nullptr);
  test::Pump(300);
  EXPECT_TRUE(graph_->Screenshot(Artefact("menu-presets.png")));
  gtk_menu_popdown(GTK_MENU(presets));

  Cli({"preset", "unbind", "speakers"});
  for (const char* name : {"near", "far", "Evening"}) Cli({"preset", "delete", name});
}

}  // namespace
}  // namespace halvex
