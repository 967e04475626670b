// What the tray's desktop tests share: running the GTK main loop, finding widgets by name, and a
// notification server on the private graph's session bus.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {

// Runs the default main context for `ms`, or until `done` holds.
inline bool Pump(int ms, const std::function<bool()>& done = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    if (done && done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return !done;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

inline GtkWidget* FindByName(GtkWidget* root, const std::string& name) {
  if (root == nullptr || name == gtk_widget_get_name(root)) return root;
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget* found = nullptr;
  for (GList* c = children; c != nullptr && found == nullptr; c = c->next) {
    found = FindByName(GTK_WIDGET(c->data), name);
  }
  g_list_free(children);
  return found;
}

// Points this process at the graph's session bus, never the user's.
inline void UseGraphBus(const PrivateGraph& graph) {
  for (const std::string& entry : graph.Environment()) {
    if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) {
      setenv("DBUS_SESSION_BUS_ADDRESS", entry.substr(25).c_str(), 1);
    }
  }
}

// Whether `name` has an owner on the graph's bus.
inline bool BusNameOwned(const PrivateGraph& graph, const std::string& name) {
  return graph
             .Run({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                   "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner", name})
             .out.find("true") != std::string::npos;
}

// python3-dbusmock's notification server, logging every call to `log`; true once it listens.
inline bool StartNotificationServer(PrivateGraph& graph, const std::string& log) {
  graph.Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "-t", "notification_daemon",
               "-l", log});
  return PrivateGraph::WaitUntil(
      [&] { return BusNameOwned(graph, "org.freedesktop.Notifications"); }, 15000, 100);
}

}  // namespace halvex::test
