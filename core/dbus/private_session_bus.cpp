#include "core/dbus/private_session_bus.h"

namespace halvex {

GDBusConnection* ConnectPrivateSessionBus(GCancellable* cancellable, bool* cancelled) {
  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, cancellable, &error);
  GDBusConnection* bus = nullptr;
  if (address != nullptr) {
    bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable, &error);
    g_free(address);
  }
  if (cancelled != nullptr) {
    *cancelled = error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  }
  g_clear_error(&error);
  if (bus != nullptr) g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

}  // namespace halvex
