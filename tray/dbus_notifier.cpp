#include "tray/dbus_notifier.h"

#include "core/dbus/private_session_bus.h"

namespace halvex {

struct DbusNotifier::State {
  GDBusConnection* bus = nullptr;
  uint32_t last_id = 0;
  ~State() {
    if (bus != nullptr) g_object_unref(bus);
  }
};

DbusNotifier::DbusNotifier() : state_(std::make_shared<State>()) {}

DbusNotifier::~DbusNotifier() = default;

bool DbusNotifier::Connect() {
  GDBusConnection* bus = ConnectPrivateSessionBus(nullptr);
  if (bus == nullptr) return false;
  if (state_->bus != nullptr) g_object_unref(state_->bus);
  state_->bus = bus;
  return true;
}

void DbusNotifier::Notify(NotifyLevel level, const std::string& title, const std::string& body) {
  if (state_->bus == nullptr) return;
  const bool warning = level == NotifyLevel::Warning;
  GVariantBuilder hints;
  g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(warning ? 2 : 1));
  GVariant* args = g_variant_new("(susss@as@a{sv}i)", "halvex", state_->last_id,
                                 warning ? "dialog-warning" : "halvex", title.c_str(),
                                 body.c_str(), g_variant_new_strv(nullptr, 0),
                                 g_variant_builder_end(&hints), kTimeoutMs);
  g_dbus_connection_call(state_->bus, "org.freedesktop.Notifications",
                         "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                         "Notify", args, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kTimeoutMs,
                         nullptr, OnReply, new std::weak_ptr<State>(state_));
}

void DbusNotifier::OnReply(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<std::weak_ptr<State>> weak(static_cast<std::weak_ptr<State>*>(data));
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
  if (reply == nullptr) {
    g_clear_error(&error);
    return;
  }
  if (const std::shared_ptr<State> state = weak->lock()) {
    g_variant_get(reply, "(u)", &state->last_id);
  }
  g_variant_unref(reply);
}

}  // namespace halvex
