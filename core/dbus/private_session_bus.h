// A session-bus connection of the process's own, for the tray's notifications and the
// visualizer's track titles.
#pragma once

#include <gio/gio.h>

namespace halvex {

// A new connection (the caller unrefs it) or null when no session bus answers. Not the shared
// one from g_bus_get: that one ends the process when the bus goes away. `cancelled`, when
// given, says whether `cancellable` stopped the attempt.
GDBusConnection* ConnectPrivateSessionBus(GCancellable* cancellable, bool* cancelled = nullptr);

}  // namespace halvex
