// Running the GTK main loop from a test and finding the window's widgets by name.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

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
  if (root == nullptr) return nullptr;
  if (name == gtk_widget_get_name(root)) return root;
  if (GTK_IS_MENU_ITEM(root)) {
    if (GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(root))) {
      if (GtkWidget* found = FindByName(sub, name)) return found;
    }
  }
  if (!GTK_IS_CONTAINER(root)) return nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(root));
  GtkWidget* found = nullptr;
  for (GList* c = children; c != nullptr && found == nullptr; c = c->next) {
    found = FindByName(GTK_WIDGET(c->data), name);
  }
  g_list_free(children);
  return found;
}

}  // namespace halvex::test
