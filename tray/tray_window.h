// The control window: master switch, service buttons, output device, and one row per control of
// the control table that applies to the running algorithm.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>

#include "tray/tray_presenter.h"

namespace halvex {

class TrayWindowImpl;

class TrayWindow {
 public:
  // Slider movements are sent this long after the first one, with the value of that moment.
  static constexpr unsigned kDebounceMs = 140;

  explicit TrayWindow(TrayPresenter& presenter);
  ~TrayWindow();
  TrayWindow(const TrayWindow&) = delete;
  TrayWindow& operator=(const TrayWindow&) = delete;

  void Build();
  // Draws the presenter's state; never sends anything back.
  void Sync();
  void Show();
  void ToggleVisibility();
  // Without a status icon the window is the only way to the tray: it is shown, and closing or
  // minimising it iconifies it instead of hiding it.
  void SetOnlyWayIn(bool only);
  // Called after every user action has gone through the presenter (default: Sync).
  void SetAfterAction(std::function<void()> after);

  GtkWidget* widget() const;

 private:
  std::unique_ptr<TrayWindowImpl> impl_;
};

}  // namespace halvex
