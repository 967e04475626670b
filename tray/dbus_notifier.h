// Desktop notifications through org.freedesktop.Notifications on the session bus.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tray/tray_presenter.h"

namespace halvex {

class DbusNotifier final : public Notifier {
 public:
  static constexpr int kTimeoutMs = 4000;

  DbusNotifier();
  ~DbusNotifier() override;
  DbusNotifier(const DbusNotifier&) = delete;
  DbusNotifier& operator=(const DbusNotifier&) = delete;

  // Opens a connection to the session bus; false when there is none.
  bool Connect();
  // Sent without waiting; each notification replaces the one before it on screen. Dropped without
  // a connection, and a failed call is ignored.
  void Notify(NotifyLevel level, const std::string& title, const std::string& body) override;

 private:
  struct State;  // shared with calls in flight, which may finish after this object is gone
  static void OnReply(GObject* source, GAsyncResult* result, gpointer data);

  std::shared_ptr<State> state_;
};

}  // namespace halvex
