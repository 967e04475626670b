#include "tray/tray_icon.h"

#include <libayatana-appindicator/app-indicator.h>

#include <string>
#include <utility>
#include <vector>

#include "core/about.h"
#include "core/config/config_keys.h"

// GtkStatusIcon is deprecated but remains the only way into an XEmbed system tray.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS

namespace halvex {
namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";

const char* ThemedIcon(const char* name, const char* fallback) {
  return gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), name) ? name : fallback;
}

// Whether a StatusNotifierItem host is listening on the session bus.
bool WatcherPresent(GDBusConnection* bus) {
  if (bus == nullptr) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameHasOwner", g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  return owned;
}

}  // namespace

class TrayIconImpl {
 public:
  TrayIconImpl(TrayPresenter& presenter, TrayWindow& window)
      : presenter_(presenter), window_(window) {}
  ~TrayIconImpl() {
    if (embed_timer_ != 0) g_source_remove(embed_timer_);
    if (indicator_ != nullptr) g_object_unref(indicator_);
    if (status_icon_ != nullptr) g_object_unref(status_icon_);
    if (menu_ != nullptr) gtk_widget_destroy(menu_);
    if (bus_ != nullptr) g_object_unref(bus_);
  }

  void Build();
  void Sync();

  TrayHost host_ = TrayHost::Pending;
  std::function<void()> after_action_;
  GtkWidget* menu_ = nullptr;

 private:
  void BuildMenu();
  GtkWidget* AddItem(const char* label, void (*action)(TrayIconImpl&));
  void RebuildDevices();
  void RebuildPresets();
  void AfterAction() {
    if (after_action_) {
      after_action_();
    } else {
      Sync();
    }
  }
  void SetHost(TrayHost host) {
    host_ = host;
    window_.SetOnlyWayIn(host == TrayHost::None);
  }

  static void OnActivate(GtkStatusIcon*, gpointer data);
  static void OnPopup(GtkStatusIcon*, guint, guint, gpointer data);
  static gboolean OnButton(GtkStatusIcon*, GdkEventButton* event, gpointer data);
  static void OnEmbedded(GObject*, GParamSpec*, gpointer data);
  static gboolean OnEmbedWait(gpointer data);
  static void OnProcessingToggled(GtkCheckMenuItem* item, gpointer data);
  static void OnDeviceToggled(GtkCheckMenuItem* item, gpointer data);
  static void OnPresetToggled(GtkCheckMenuItem* item, gpointer data);

  TrayPresenter& presenter_;
  TrayWindow& window_;
  bool syncing_ = false;
  GtkStatusIcon* status_icon_ = nullptr;
  AppIndicator* indicator_ = nullptr;
  // The shared session connection, held for the icon's lifetime so that the indicator library,
  // which fetches the same connection asynchronously, never meets it while it is closing.
  GDBusConnection* bus_ = nullptr;
  GtkWidget* processing_ = nullptr;
  GtkWidget* device_item_ = nullptr;
  GtkWidget* device_menu_ = nullptr;
  std::vector<std::pair<std::string, GtkWidget*>> device_items_;  // (name, radio item)
  std::vector<std::pair<std::string, std::string>> shown_devices_;
  bool devices_built_ = false;
  GtkWidget* preset_item_ = nullptr;
  GtkWidget* no_preset_ = nullptr;  // hidden: checked while no preset is in force
  std::vector<std::pair<std::string, GtkWidget*>> preset_items_;  // (name, radio item)
  std::vector<std::string> shown_presets_;
  bool presets_built_ = false;
  guint embed_timer_ = 0;
};

GtkWidget* TrayIconImpl::AddItem(const char* label, void (*action)(TrayIconImpl&)) {
  GtkWidget* item = gtk_menu_item_new_with_label(label);
  g_object_set_data(G_OBJECT(item), "halvex-action", reinterpret_cast<gpointer>(action));
  g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* it, gpointer data) {
                     auto* act = reinterpret_cast<void (*)(TrayIconImpl&)>(
                         g_object_get_data(G_OBJECT(it), "halvex-action"));
                     act(*static_cast<TrayIconImpl*>(data));
                   }),
                   this);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
  return item;
}

void TrayIconImpl::BuildMenu() {
  menu_ = gtk_menu_new();
  g_object_ref_sink(menu_);
  AddItem("Show controls", [](TrayIconImpl& self) { self.window_.Show(); });
  processing_ = gtk_check_menu_item_new_with_label("Processing");
  g_signal_connect(processing_, "toggled", G_CALLBACK(OnProcessingToggled), this);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), processing_);
  device_item_ = gtk_menu_item_new_with_label("Output device");
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), device_item_);
  preset_item_ = gtk_menu_item_new_with_label("Presets");
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), preset_item_);
  AddItem("Reload config", [](TrayIconImpl& self) {
    self.presenter_.Reload();
    self.AfterAction();
  });
  AddItem("Milkdrop visualizer", [](TrayIconImpl& self) { self.presenter_.LaunchVisualizer(); });
  AddItem("Restart daemon", [](TrayIconImpl& self) {
    self.presenter_.RestartDaemon();
    self.AfterAction();
  });
  gtk_menu_shell_append(GTK_MENU_SHELL(menu_), gtk_separator_menu_item_new());
  AddItem("About Halvex", [](TrayIconImpl&) {
    gtk_show_uri_on_window(nullptr, kProjectPage, GDK_CURRENT_TIME, nullptr);
  });
  AddItem("Quit", [](TrayIconImpl&) { gtk_main_quit(); });
  RebuildDevices();
  RebuildPresets();
  gtk_widget_show_all(menu_);
}

void TrayIconImpl::Build() {
  BuildMenu();
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (WatcherPresent(bus_)) {
    indicator_ = app_indicator_new("halvex", ThemedIcon("halvex-off", "audio-volume-muted"),
                                   APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_title(indicator_, "halvex");
    app_indicator_set_menu(indicator_, GTK_MENU(menu_));
    // A middle click toggles processing, as it does on the XEmbed icon.
    app_indicator_set_secondary_activate_target(indicator_, processing_);
    app_indicator_set_status(indicator_, APP_INDICATOR_STATUS_ACTIVE);
    SetHost(TrayHost::Indicator);
  } else {
    status_icon_ = gtk_status_icon_new_from_icon_name(ThemedIcon("halvex-off", "audio-volume-muted"));
    gtk_status_icon_set_title(status_icon_, "halvex");
    g_signal_connect(status_icon_, "activate", G_CALLBACK(OnActivate), this);
    g_signal_connect(status_icon_, "popup-menu", G_CALLBACK(OnPopup), this);
    g_signal_connect(status_icon_, "button-press-event", G_CALLBACK(OnButton), this);
    g_signal_connect(status_icon_, "notify::embedded", G_CALLBACK(OnEmbedded), this);
    // Embedding is asynchronous: give a tray a moment before deciding there is none.
    embed_timer_ = g_timeout_add(TrayIcon::kEmbedWaitMs, OnEmbedWait, this);
  }
  Sync();
}

void TrayIconImpl::Sync() {
  syncing_ = true;
  const TrayView view = presenter_.View();
  const bool lit = view.reachable && view.enabled;
  const char* icon = lit ? ThemedIcon("halvex", "audio-speakers")
                         : ThemedIcon("halvex-off", "audio-volume-muted");
  if (status_icon_ != nullptr) {
    gtk_status_icon_set_from_icon_name(status_icon_, icon);
    gtk_status_icon_set_tooltip_text(status_icon_, view.tooltip.c_str());
  }
  if (indicator_ != nullptr) app_indicator_set_icon_full(indicator_, icon, view.tooltip.c_str());
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(processing_), view.enabled);
  gtk_widget_set_sensitive(processing_, view.reachable);
  RebuildDevices();
  const std::string& configured = presenter_.last().config.output_device;
  for (const auto& [name, item] : device_items_) {
    if (name == configured) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
  }
  gtk_widget_set_sensitive(device_item_, view.reachable);
  RebuildPresets();
  const std::string& current = presenter_.presets().current;
  gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(no_preset_), TRUE);
  for (const auto& [name, item] : preset_items_) {
    if (name == current) gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), TRUE);
  }
  gtk_widget_set_sensitive(preset_item_, view.reachable && !preset_items_.empty());
  syncing_ = false;
}

void TrayIconImpl::RebuildPresets() {
  const std::vector<std::string>& now = presenter_.presets().names;
  if (presets_built_ && now == shown_presets_) return;
  const bool was_syncing = std::exchange(syncing_, true);
  GtkWidget* menu = gtk_menu_new();
  no_preset_ = gtk_radio_menu_item_new_with_label(nullptr, "none");
  gtk_widget_set_no_show_all(no_preset_, TRUE);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), no_preset_);
  preset_items_.clear();
  for (const std::string& name : now) {
    GtkWidget* item = gtk_radio_menu_item_new_with_label_from_widget(
        GTK_RADIO_MENU_ITEM(no_preset_), name.c_str());
    g_object_set_data_full(G_OBJECT(item), "halvex-preset", g_strdup(name.c_str()), g_free);
    g_signal_connect(item, "toggled", G_CALLBACK(OnPresetToggled), this);
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), item);
    preset_items_.emplace_back(name, item);
  }
  gtk_widget_show_all(menu);
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(preset_item_), menu);  // frees the old one
  shown_presets_ = now;
  presets_built_ = true;
  syncing_ = was_syncing;
}

void TrayIconImpl::RebuildDevices() {
  std::vector<std::pair<std::string, std::string>> now;
  for (const AudioDevice& device : presenter_.devices()) {
    now.emplace_back(device.name, device.description);
  }
  if (devices_built_ && now == shown_devices_) return;
  const bool was_syncing = std::exchange(syncing_, true);
  device_menu_ = gtk_menu_new();
  device_items_.clear();
  GSList* group = nullptr;
  auto add = [&](const std::string& name, const std::string& label) {
    GtkWidget* item = gtk_radio_menu_item_new_with_label(group, label.c_str());
    group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
    g_object_set_data_full(G_OBJECT(item), "halvex-device", g_strdup(name.c_str()), g_free);
    g_signal_connect(item, "toggled", G_CALLBACK(OnDeviceToggled), this);
    gtk_menu_shell_append(GTK_MENU_SHELL(device_menu_), item);
    device_items_.emplace_back(name, item);
  };
  add("", "Automatic");  // the empty name is how the configuration stores "auto"
  for (const auto& [name, description] : now) add(name, description);
  gtk_widget_show_all(device_menu_);
  gtk_menu_item_set_submenu(GTK_MENU_ITEM(device_item_), device_menu_);  // frees the old one
  shown_devices_ = std::move(now);
  devices_built_ = true;
  syncing_ = was_syncing;
}

void TrayIconImpl::OnActivate(GtkStatusIcon*, gpointer data) {
  static_cast<TrayIconImpl*>(data)->window_.ToggleVisibility();
}

void TrayIconImpl::OnPopup(GtkStatusIcon*, guint, guint, gpointer data) {
  gtk_menu_popup_at_pointer(GTK_MENU(static_cast<TrayIconImpl*>(data)->menu_), nullptr);
}

gboolean TrayIconImpl::OnButton(GtkStatusIcon*, GdkEventButton* event, gpointer data) {
  if (event->type != GDK_BUTTON_PRESS || event->button != 2) return FALSE;
  auto* self = static_cast<TrayIconImpl*>(data);
  self->presenter_.ToggleEnabled();
  self->AfterAction();
  return TRUE;
}

void TrayIconImpl::OnEmbedded(GObject*, GParamSpec*, gpointer data) {
  auto* self = static_cast<TrayIconImpl*>(data);
  if (self->embed_timer_ != 0) return;  // still in the first wait; it decides
  self->SetHost(gtk_status_icon_is_embedded(self->status_icon_) ? TrayHost::StatusIcon
                                                                : TrayHost::None);
}

gboolean TrayIconImpl::OnEmbedWait(gpointer data) {
  auto* self = static_cast<TrayIconImpl*>(data);
  self->embed_timer_ = 0;
  self->SetHost(gtk_status_icon_is_embedded(self->status_icon_) ? TrayHost::StatusIcon
                                                                : TrayHost::None);
  return G_SOURCE_REMOVE;
}

void TrayIconImpl::OnProcessingToggled(GtkCheckMenuItem* item, gpointer data) {
  auto* self = static_cast<TrayIconImpl*>(data);
  if (self->syncing_) return;
  self->presenter_.SetEnabled(gtk_check_menu_item_get_active(item));
  self->AfterAction();
}

void TrayIconImpl::OnDeviceToggled(GtkCheckMenuItem* item, gpointer data) {
  auto* self = static_cast<TrayIconImpl*>(data);
  // A radio group toggles the item that was left as well: only the one chosen acts.
  if (self->syncing_ || !gtk_check_menu_item_get_active(item)) return;
  const auto* name = static_cast<const char*>(g_object_get_data(G_OBJECT(item), "halvex-device"));
  self->presenter_.SetControl(KeyName(&ProcessorConfig::output_device),
                              name != nullptr && *name != '\0' ? name : "auto");
  self->AfterAction();
}

void TrayIconImpl::OnPresetToggled(GtkCheckMenuItem* item, gpointer data) {
  auto* self = static_cast<TrayIconImpl*>(data);
  if (self->syncing_ || !gtk_check_menu_item_get_active(item)) return;
  const auto* name = static_cast<const char*>(g_object_get_data(G_OBJECT(item), "halvex-preset"));
  if (name != nullptr) self->presenter_.LoadPreset(name);
  self->AfterAction();
}

TrayIcon::TrayIcon(TrayPresenter& presenter, TrayWindow& window)
    : impl_(std::make_unique<TrayIconImpl>(presenter, window)) {}
TrayIcon::~TrayIcon() = default;
void TrayIcon::Build() { impl_->Build(); }
void TrayIcon::Sync() { impl_->Sync(); }
TrayHost TrayIcon::host() const { return impl_->host_; }
GtkWidget* TrayIcon::menu() const { return impl_->menu_; }
void TrayIcon::SetAfterAction(std::function<void()> after) {
  impl_->after_action_ = std::move(after);
}

}  // namespace halvex

G_GNUC_END_IGNORE_DEPRECATIONS
