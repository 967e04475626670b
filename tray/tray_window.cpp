#include "tray/tray_window.h"

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "core/config/config_keys.h"
#include "core/config/config_names.h"
#include "core/config/config_params.h"
#include "core/config/number_format.h"
#include "tray/control_spec.h"
#include "tray/masthead_png.h"
#include "core/about.h"

namespace halvex {
namespace {

constexpr int kMastheadWidth = 340;
constexpr int kLabelWidth = 120;
constexpr const char* kMastheadCss = "#halvex-masthead { background-color: #ffffff; }";
constexpr const char* kDeviceTooltip =
    "Where the processed audio is sent. Automatic follows the highest-priority device, which is "
    "what you want until a Bluetooth speaker outranks the one you are actually using.";

// The logotype scaled to the masthead width, or null when the embedded image does not decode.
GdkPixbuf* LoadMasthead() {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  if (loader == nullptr) return nullptr;
  GdkPixbuf* scaled = nullptr;
  const bool decoded = gdk_pixbuf_loader_write(loader, kMastheadPng, kMastheadPngSize, nullptr);
  if (gdk_pixbuf_loader_close(loader, nullptr) && decoded) {
    GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader);
    const int width = image != nullptr ? gdk_pixbuf_get_width(image) : 0;
    if (width > 0) {
      const int height = static_cast<int>(
          std::lround(double(gdk_pixbuf_get_height(image)) * kMastheadWidth / width));
      scaled = gdk_pixbuf_scale_simple(image, kMastheadWidth, std::max(height, 1),
                                       GDK_INTERP_BILINEAR);
    }
  }
  g_object_unref(loader);
  return scaled;
}

void SetMargins(GtkWidget* widget, int top, int bottom, int start, int end) {
  gtk_widget_set_margin_top(widget, top);
  gtk_widget_set_margin_bottom(widget, bottom);
  gtk_widget_set_margin_start(widget, start);
  gtk_widget_set_margin_end(widget, end);
}

// The caption at the start of a row; one width for all, so the controls line up.
GtkWidget* RowLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_size_request(label, kLabelWidth, -1);
  return label;
}

// A captioned row packed into `box` with `control` filling the rest of it; the row, for more.
GtkWidget* PackCaptionedRow(GtkWidget* box, int top, GtkWidget* label, GtkWidget* control) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  SetMargins(row, top, 0, 12, 12);
  gtk_box_pack_start(GTK_BOX(row), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), control, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
  return row;
}

}  // namespace

class TrayWindowImpl {
 public:
  explicit TrayWindowImpl(TrayPresenter& presenter) : presenter_(presenter) {}
  ~TrayWindowImpl() {
    for (Row& row : rows_) {
      if (row.timer != 0) g_source_remove(row.timer);
    }
    if (window_ != nullptr) gtk_widget_destroy(window_);
  }

  void Build();
  void Sync();
  void Show() {
    gtk_widget_show_all(window_);
    Sync();
    gtk_window_present(GTK_WINDOW(window_));
  }
  void ToggleVisibility() {
    if (gtk_widget_get_visible(window_) && !only_way_in_) {
      gtk_widget_hide(window_);
    } else {
      Show();
    }
  }
  void SetOnlyWayIn(bool only) {
    only_way_in_ = only;
    if (only) {
      gtk_window_deiconify(GTK_WINDOW(window_));
      Show();
    }
  }

  GtkWidget* window_ = nullptr;
  std::function<void()> after_action_;

 private:
  struct Row {
    TrayWindowImpl* owner;
    const ControlSpec* control;
    ControlKind kind;
    GtkWidget* label;
    GtkWidget* widget;
    guint timer = 0;       // pending debounced send of a slider
    double pending = 0.0;  // the value it will send
  };

  void BuildMasthead(GtkWidget* box);
  void BuildHeader(GtkWidget* box);
  void BuildDeviceRow(GtkWidget* box);
  void BuildPresetRow(GtkWidget* box);
  void SyncPresets();
  // Asks for a name until it is one the daemon takes, or the user gives up.
  void AskAndSavePreset();
  void BuildRows(GtkWidget* box);
  void BuildFooter(GtkWidget* box);
  GtkWidget* MakeWidget(Row& row);
  void SyncDevices();
  void AfterAction() {
    if (after_action_) {
      after_action_();
    } else {
      Sync();
    }
  }

  static void OnComboChanged(GtkComboBox* combo, gpointer data);
  static gboolean OnSwitchRowSet(GtkSwitch*, gboolean state, gpointer data);
  static void OnSliderMoved(GtkRange* range, gpointer data);
  static gboolean OnSliderTimer(gpointer data);
  static gboolean OnMasterSet(GtkSwitch*, gboolean state, gpointer data);
  static void OnDeviceChanged(GtkComboBox* combo, gpointer data);
  static void OnPresetChanged(GtkComboBox* combo, gpointer data);
  static void OnBindToggled(GtkToggleButton* check, gpointer data);
  static gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data);
  static gboolean OnWindowState(GtkWidget*, GdkEventWindowState* event, gpointer data);

  TrayPresenter& presenter_;
  bool syncing_ = false;
  bool only_way_in_ = false;
  GtkWidget* master_ = nullptr;
  GtkWidget* status_ = nullptr;
  GtkWidget* devices_ = nullptr;
  GtkWidget* grid_ = nullptr;
  std::vector<Row> rows_;
  std::vector<std::pair<std::string, std::string>> shown_devices_;  // (name, description)
  bool devices_filled_ = false;
  GtkWidget* presets_ = nullptr;
  GtkWidget* save_preset_ = nullptr;
  GtkWidget* bind_ = nullptr;
  std::vector<std::string> shown_presets_;
  bool presets_filled_ = false;
};

void TrayWindowImpl::Build() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), "halvex");
  gtk_window_set_icon_name(GTK_WINDOW(window_), "halvex");
  gtk_window_set_default_size(GTK_WINDOW(window_), 460, 600);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), FALSE);
  g_signal_connect(window_, "delete-event", G_CALLBACK(OnDelete), this);
  g_signal_connect(window_, "window-state-event", G_CALLBACK(OnWindowState), this);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_), box);
  BuildMasthead(box);
  BuildHeader(box);
  BuildDeviceRow(box);
  BuildPresetRow(box);
  BuildRows(box);
  BuildFooter(box);
}

void TrayWindowImpl::BuildMasthead(GtkWidget* box) {
  GdkPixbuf* logo = LoadMasthead();
  if (logo == nullptr) return;
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kMastheadCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  GtkWidget* band = gtk_event_box_new();
  gtk_widget_set_name(band, "halvex-masthead");
  GtkWidget* image = gtk_image_new_from_pixbuf(logo);
  g_object_unref(logo);
  gtk_widget_set_halign(image, GTK_ALIGN_CENTER);
  SetMargins(image, 10, 10, 0, 0);
  gtk_container_add(GTK_CONTAINER(band), image);
  gtk_box_pack_start(GTK_BOX(box), band, FALSE, FALSE, 0);
}

void TrayWindowImpl::BuildHeader(GtkWidget* box) {
  GtkWidget* header = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  SetMargins(header, 12, 0, 12, 12);
  master_ = gtk_switch_new();
  gtk_widget_set_name(master_, "processing");
  gtk_widget_set_valign(master_, GTK_ALIGN_CENTER);
  gtk_widget_set_tooltip_text(master_, "Processing on, or pass-through");
  g_signal_connect(master_, "state-set", G_CALLBACK(OnMasterSet), this);
  status_ = gtk_label_new("");
  gtk_widget_set_name(status_, "status");
  gtk_label_set_xalign(GTK_LABEL(status_), 0.0f);
  // Wrapped rather than ellipsised: the buttons leave it little room, and it must stay readable.
  gtk_label_set_line_wrap(GTK_LABEL(status_), TRUE);
  gtk_label_set_width_chars(GTK_LABEL(status_), 14);
  gtk_label_set_max_width_chars(GTK_LABEL(status_), 24);
  gtk_box_pack_start(GTK_BOX(header), master_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(header), status_, TRUE, TRUE, 0);

  struct Button {
    const char* label;
    const char* tooltip;
    bool (TrayPresenter::*action)();
  };
  static constexpr Button kButtons[] = {
      {"Milkdrop",
       "Open the Halvex Milkdrop port: preset visuals driven by what you are hearing. It runs as "
       "its own process — Alt+Enter for fullscreen, Esc to close — and cannot affect playback.",
       &TrayPresenter::LaunchVisualizer},
      {"Restart daemon",
       "systemctl --user restart halvexd. Processing is switched back on afterwards if it was "
       "on.",
       &TrayPresenter::RestartDaemon},
      {"Reload config", "Re-read the configuration file", &TrayPresenter::Reload},
  };
  for (const Button& control : kButtons) {
    GtkWidget* button = gtk_button_new_with_label(control.label);
    gtk_widget_set_tooltip_text(button, control.tooltip);
    gtk_widget_set_valign(button, GTK_ALIGN_CENTER);
    g_object_set_data(G_OBJECT(button), "halvex-action", const_cast<Button*>(&control));
    g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton* b, gpointer data) {
                       auto* self = static_cast<TrayWindowImpl*>(data);
                       const auto* what =
                           static_cast<const Button*>(g_object_get_data(G_OBJECT(b), "halvex-action"));
                       (self->presenter_.*(what->action))();
                       self->AfterAction();
                     }),
                     this);
    gtk_box_pack_start(GTK_BOX(header), button, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(box), header, FALSE, FALSE, 0);
}

void TrayWindowImpl::BuildDeviceRow(GtkWidget* box) {
  GtkWidget* label = RowLabel("Output device");
  devices_ = gtk_combo_box_text_new();
  gtk_widget_set_name(devices_, KeyName(&ProcessorConfig::output_device));
  gtk_widget_set_tooltip_text(devices_, kDeviceTooltip);
  gtk_widget_set_tooltip_text(label, kDeviceTooltip);
  g_signal_connect(devices_, "changed", G_CALLBACK(OnDeviceChanged), this);
  PackCaptionedRow(box, 12, label, devices_);
}

void TrayWindowImpl::BuildPresetRow(GtkWidget* box) {
  presets_ = gtk_combo_box_text_new();
  gtk_widget_set_name(presets_, "preset");
  gtk_widget_set_tooltip_text(presets_, "Load a saved preset: every setting but the device");
  g_signal_connect(presets_, "changed", G_CALLBACK(OnPresetChanged), this);
  save_preset_ = gtk_button_new_with_label("Save as…");
  gtk_widget_set_name(save_preset_, "preset-save");
  gtk_widget_set_tooltip_text(save_preset_, "Keep the current settings under a name");
  g_signal_connect(save_preset_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     static_cast<TrayWindowImpl*>(data)->AskAndSavePreset();
                   }),
                   this);
  GtkWidget* row = PackCaptionedRow(box, 8, RowLabel("Preset"), presets_);
  gtk_box_pack_start(GTK_BOX(row), save_preset_, FALSE, FALSE, 0);

  bind_ = gtk_check_button_new_with_label("Use for this device");
  gtk_widget_set_name(bind_, "preset-bind");
  gtk_widget_set_tooltip_text(bind_,
                              "Load this preset whenever this device becomes the output");
  SetMargins(bind_, 4, 0, 12 + kLabelWidth + 12, 12);
  g_signal_connect(bind_, "toggled", G_CALLBACK(OnBindToggled), this);
  gtk_box_pack_start(GTK_BOX(box), bind_, FALSE, FALSE, 0);
}

void TrayWindowImpl::SyncPresets() {
  const PresetState& presets = presenter_.presets();
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(presets_);
  if (!presets_filled_ || presets.names != shown_presets_) {
    gtk_combo_box_text_remove_all(combo);
    for (const std::string& name : presets.names) {
      gtk_combo_box_text_append(combo, name.c_str(), name.c_str());
    }
    shown_presets_ = presets.names;
    presets_filled_ = true;
  }
  // No preset in force (or one changed since): nothing is shown as chosen.
  if (presets.current.empty() ||
      !gtk_combo_box_set_active_id(GTK_COMBO_BOX(presets_), presets.current.c_str())) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(presets_), -1);
  }
  const bool known = presets.known && !presets.active.name.empty();
  const std::string device =
      known ? presets.active.description : std::string("the active device");
  gtk_button_set_label(GTK_BUTTON(bind_), ("Use for " + device).c_str());
  const auto bound = presets.devices.find(presets.active.name);
  const bool is_bound = known && bound != presets.devices.end() &&
                        bound->second == presets.current && !presets.current.empty();
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(bind_), is_bound);
  gtk_widget_set_sensitive(presets_, presets.known);
  gtk_widget_set_sensitive(save_preset_, presets.known);
  gtk_widget_set_sensitive(bind_, known && !presets.current.empty());
}

void TrayWindowImpl::AskAndSavePreset() {
  GtkWidget* dialog = gtk_dialog_new_with_buttons(
      "Save preset", GTK_WINDOW(window_), GTK_DIALOG_MODAL, "_Cancel", GTK_RESPONSE_CANCEL,
      "_Save", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_widget_set_name(dialog, "preset-dialog");
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  SetMargins(area, 12, 12, 12, 12);
  gtk_box_set_spacing(GTK_BOX(area), 8);
  GtkWidget* entry = gtk_entry_new();
  gtk_widget_set_name(entry, "preset-name");
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  gtk_entry_set_max_length(GTK_ENTRY(entry), 64);
  gtk_entry_set_text(GTK_ENTRY(entry), presenter_.presets().current.c_str());
  GtkWidget* problem = gtk_label_new("");
  gtk_widget_set_name(problem, "preset-problem");
  gtk_label_set_xalign(GTK_LABEL(problem), 0.0f);
  gtk_label_set_line_wrap(GTK_LABEL(problem), TRUE);
  gtk_box_pack_start(GTK_BOX(area), gtk_label_new("Name of the preset"), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(area), problem, FALSE, FALSE, 0);
  gtk_widget_show_all(dialog);
  while (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
    std::string error;
    if (presenter_.SavePreset(gtk_entry_get_text(GTK_ENTRY(entry)), error)) break;
    // A refusal by the daemon has been announced already; only a bad name is explained here.
    if (error.empty()) break;
    gtk_label_set_text(GTK_LABEL(problem), error.c_str());
  }
  gtk_widget_destroy(dialog);
  AfterAction();
}

void TrayWindowImpl::BuildRows(GtkWidget* box) {
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  grid_ = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid_), 8);
  gtk_grid_set_column_spacing(GTK_GRID(grid_), 12);
  SetMargins(grid_, 12, 12, 12, 12);
  // Reserved up front: rows hand their own address to GTK callbacks.
  rows_.reserve(ControlSpecCount());
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    const ControlSpec& control = ControlSpecAt(i);
    Row& row = rows_.emplace_back(Row{this, &control, WidgetKind(control), nullptr, nullptr});
    row.label = RowLabel(control.label);
    gtk_widget_set_name(row.label, (std::string(control.key) + "-label").c_str());
    row.widget = MakeWidget(row);
    gtk_widget_set_name(row.widget, control.key);
    gtk_widget_set_tooltip_text(row.label, control.tooltip);
    gtk_widget_set_tooltip_text(row.widget, control.tooltip);
    gtk_grid_attach(GTK_GRID(grid_), row.label, 0, static_cast<int>(i), 1, 1);
    gtk_grid_attach(GTK_GRID(grid_), row.widget, 1, static_cast<int>(i), 1, 1);
  }
  gtk_container_add(GTK_CONTAINER(scroll), grid_);
  gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
}

GtkWidget* TrayWindowImpl::MakeWidget(Row& row) {
  const ControlSpec& control = *row.control;
  switch (row.kind) {
    case ControlKind::Combo: {
      GtkWidget* combo = gtk_combo_box_text_new();
      for (size_t c = 0; c < control.choice_count; ++c) {
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), control.choices[c].label);
      }
      g_signal_connect(combo, "changed", G_CALLBACK(OnComboChanged), &row);
      return combo;
    }
    case ControlKind::Switch: {
      GtkWidget* toggle = gtk_switch_new();
      gtk_widget_set_halign(toggle, GTK_ALIGN_START);
      g_signal_connect(toggle, "state-set", G_CALLBACK(OnSwitchRowSet), &row);
      return toggle;
    }
    case ControlKind::Slider:
      break;
  }
  GtkWidget* scale =
      gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, control.min, control.max, control.step);
  gtk_scale_set_digits(GTK_SCALE(scale), SliderDecimals(control.step));
  gtk_scale_set_draw_value(GTK_SCALE(scale), TRUE);
  gtk_scale_set_value_pos(GTK_SCALE(scale), GTK_POS_RIGHT);
  gtk_widget_set_hexpand(scale, TRUE);
  g_signal_connect(scale, "value-changed", G_CALLBACK(OnSliderMoved), &row);
  return scale;
}

void TrayWindowImpl::BuildFooter(GtkWidget* box) {
  GtkWidget* footer = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
  SetMargins(footer, 0, 10, 12, 12);
  GtkWidget* small = gtk_label_new(nullptr);
  gchar* markup = g_markup_printf_escaped("<small>%s — %s</small>", kProductName, kMakerName);
  gtk_label_set_markup(GTK_LABEL(small), markup);
  g_free(markup);
  gtk_label_set_xalign(GTK_LABEL(small), 0.0f);
  GtkWidget* link = gtk_link_button_new_with_label(kProjectPage, "Project page");
  gtk_box_pack_start(GTK_BOX(footer), small, TRUE, TRUE, 0);
  gtk_box_pack_end(GTK_BOX(footer), link, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(box), footer, FALSE, FALSE, 0);
}

void TrayWindowImpl::Sync() {
  syncing_ = true;
  const TrayView view = presenter_.View();
  const ProcessorConfig& config = presenter_.last().config;
  if (!view.reachable) {
    gtk_label_set_text(GTK_LABEL(status_), "halvexd is not running");
  } else {
    std::string text =
        std::string(view.enabled ? "Processing" : "Pass-through") + " — " + view.algorithm;
    if (!view.latency.empty()) text += " — " + view.latency;
    gtk_label_set_text(GTK_LABEL(status_), text.c_str());
  }
  gtk_switch_set_active(GTK_SWITCH(master_), view.enabled);
  gtk_widget_set_sensitive(master_, view.reachable);
  gtk_widget_set_sensitive(devices_, view.reachable);
  gtk_widget_set_sensitive(grid_, view.reachable);

  const char* algorithm = SpatialAlgorithmName(config.spatial_algorithm);
  for (Row& row : rows_) {
    const bool visible = ScopeAppliesTo(row.control->scope, algorithm);
    gtk_widget_set_visible(row.label, visible);
    gtk_widget_set_visible(row.widget, visible);
    float number = 0.0f;
    // A slider the user is still moving keeps its own value until it has been sent.
    if (row.timer != 0 || !ReadParamNumber(config, row.control->key, number)) continue;
    switch (row.kind) {
      case ControlKind::Switch:
        gtk_switch_set_active(GTK_SWITCH(row.widget), number > 0.5f);
        break;
      case ControlKind::Combo:
        gtk_combo_box_set_active(GTK_COMBO_BOX(row.widget), ChoiceIndex(*row.control, config));
        break;
      case ControlKind::Slider:
        gtk_range_set_value(GTK_RANGE(row.widget), number);
        break;
    }
  }
  SyncDevices();
  SyncPresets();
  syncing_ = false;
}

void TrayWindowImpl::SyncDevices() {
  std::vector<std::pair<std::string, std::string>> now;
  for (const AudioDevice& device : presenter_.devices()) {
    now.emplace_back(device.name, device.description);
  }
  GtkComboBoxText* combo = GTK_COMBO_BOX_TEXT(devices_);
  if (!devices_filled_ || now != shown_devices_) {
    gtk_combo_box_text_remove_all(combo);
    gtk_combo_box_text_append(combo, "auto", "Automatic");
    for (const auto& [name, description] : now) {
      gtk_combo_box_text_append(combo, name.c_str(), description.c_str());
    }
    shown_devices_ = std::move(now);
    devices_filled_ = true;
  }
  const std::string& configured = presenter_.last().config.output_device;
  const char* id = configured.empty() ? "auto" : configured.c_str();
  if (!gtk_combo_box_set_active_id(GTK_COMBO_BOX(devices_), id)) {
    gtk_combo_box_set_active(GTK_COMBO_BOX(devices_), -1);  // configured but not present now
  }
}

void TrayWindowImpl::OnComboChanged(GtkComboBox* combo, gpointer data) {
  Row& row = *static_cast<Row*>(data);
  const int index = gtk_combo_box_get_active(combo);
  if (row.owner->syncing_ || index < 0 || static_cast<size_t>(index) >= row.control->choice_count) {
    return;
  }
  row.owner->presenter_.SetControl(row.control->key, row.control->choices[index].value);
  // A new algorithm changes which rows apply.
  row.owner->AfterAction();
}

gboolean TrayWindowImpl::OnSwitchRowSet(GtkSwitch*, gboolean state, gpointer data) {
  Row& row = *static_cast<Row*>(data);
  if (row.owner->syncing_ || row.owner->presenter_.SetControl(row.control->key, state ? "1" : "0")) {
    return FALSE;
  }
  // Refused: the switch goes back to what the daemon has.
  row.owner->AfterAction();
  return TRUE;
}

void TrayWindowImpl::OnSliderMoved(GtkRange* range, gpointer data) {
  Row& row = *static_cast<Row*>(data);
  if (row.owner->syncing_) return;
  row.pending = gtk_range_get_value(range);
  if (row.timer == 0) row.timer = g_timeout_add(TrayWindow::kDebounceMs, OnSliderTimer, &row);
}

gboolean TrayWindowImpl::OnSliderTimer(gpointer data) {
  Row& row = *static_cast<Row*>(data);
  row.timer = 0;
  row.owner->presenter_.SetControl(row.control->key, FormatNumber(static_cast<float>(row.pending)));
  return G_SOURCE_REMOVE;
}

gboolean TrayWindowImpl::OnMasterSet(GtkSwitch*, gboolean state, gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  if (self->syncing_) return FALSE;
  const bool ok = self->presenter_.SetEnabled(state);
  self->AfterAction();
  // On failure the sync above has already put the switch back; the default handler must not
  // move it again.
  return !ok;
}

void TrayWindowImpl::OnDeviceChanged(GtkComboBox* combo, gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  if (self->syncing_ || gtk_combo_box_get_active(combo) < 0) return;
  const gchar* id = gtk_combo_box_get_active_id(combo);
  self->presenter_.SetControl(KeyName(&ProcessorConfig::output_device),
                              id != nullptr && *id != '\0' ? id : "auto");
  self->AfterAction();  // a refused device goes back to the configured one
}

void TrayWindowImpl::OnPresetChanged(GtkComboBox* combo, gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  const gchar* id = gtk_combo_box_get_active_id(combo);
  if (self->syncing_ || id == nullptr || self->presenter_.presets().current == id) return;
  self->presenter_.LoadPreset(id);
  self->AfterAction();
}

void TrayWindowImpl::OnBindToggled(GtkToggleButton* check, gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  if (self->syncing_) return;
  self->presenter_.BindCurrentToActive(gtk_toggle_button_get_active(check));
  self->AfterAction();  // a refused binding puts the check back
}

gboolean TrayWindowImpl::OnDelete(GtkWidget* window, GdkEvent*, gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  if (self->only_way_in_) {
    gtk_window_iconify(GTK_WINDOW(window));
  } else {
    gtk_widget_hide(window);
  }
  return TRUE;
}

gboolean TrayWindowImpl::OnWindowState(GtkWidget* window, GdkEventWindowState* event,
                                       gpointer data) {
  auto* self = static_cast<TrayWindowImpl*>(data);
  if (!self->only_way_in_ && (event->changed_mask & GDK_WINDOW_STATE_ICONIFIED) &&
      (event->new_window_state & GDK_WINDOW_STATE_ICONIFIED)) {
    gtk_window_deiconify(GTK_WINDOW(window));
    gtk_widget_hide(window);
  }
  return FALSE;
}

TrayWindow::TrayWindow(TrayPresenter& presenter)
    : impl_(std::make_unique<TrayWindowImpl>(presenter)) {}
TrayWindow::~TrayWindow() = default;
void TrayWindow::Build() { impl_->Build(); }
void TrayWindow::Sync() { impl_->Sync(); }
void TrayWindow::Show() { impl_->Show(); }
void TrayWindow::ToggleVisibility() { impl_->ToggleVisibility(); }
void TrayWindow::SetOnlyWayIn(bool only) { impl_->SetOnlyWayIn(only); }
void TrayWindow::SetAfterAction(std::function<void()> after) {
  impl_->after_action_ = std::move(after);
}
GtkWidget* TrayWindow::widget() const { return impl_->window_; }

}  // namespace halvex
