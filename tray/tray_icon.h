// The status icon and its menu. An XEmbed tray gets a GtkStatusIcon; a desktop with a
// StatusNotifierItem host (GNOME or KDE on Wayland) gets an indicator with the same menu; with
// neither, the window stays up as the way in.
#pragma once

#include <memory>

#include "tray/tray_presenter.h"
#include "tray/tray_window.h"

namespace halvex {

class TrayIconImpl;

// Where the icon ended up.
enum class TrayHost { Pending, StatusIcon, Indicator, None };

class TrayIcon {
 public:
  // How long an XEmbed tray is given to take the icon before the window becomes the way in.
  static constexpr unsigned kEmbedWaitMs = 1500;

  TrayIcon(TrayPresenter& presenter, TrayWindow& window);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  void Build();
  void Sync();
  TrayHost host() const;
  // Called after every user action has gone through the presenter (default: Sync).
  void SetAfterAction(std::function<void()> after);
  // The context menu, shared by both kinds of icon.
  GtkWidget* menu() const;

 private:
  std::unique_ptr<TrayIconImpl> impl_;
};

}  // namespace halvex
