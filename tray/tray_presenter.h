// The tray's logic, free of any toolkit: polls the engine, announces what the notification policy
// says, drives the service manager and produces what the icon and the window draw.
#pragma once

#include <string>
#include <vector>

#include "tray/notification_policy.h"
#include "tray/remote_engine.h"

namespace halvex {

// Starts the daemon and programs as user services.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  virtual bool Start(std::string& error) = 0;
  virtual bool Restart(std::string& error) = 0;
  virtual bool Launch(const std::string& program, std::string& error) = 0;
};

struct TrayView {
  bool reachable = false;
  bool enabled = false;
  std::string tooltip;
  std::string algorithm;  // display label; empty when unreachable
  // What the engine and one graph cycle add to playback, "42.7 ms"; empty when not known.
  std::string latency;
};

class TrayPresenter {
 public:
  // Refreshes that may pass without reaching the daemon before a start or restart counts as failed.
  static constexpr int kPendingRefreshLimit = 5;

  TrayPresenter(EngineRemote& engine, Notifier& notifier, ServiceControl& service);

  TrayView Refresh();
  TrayView View() const;

  bool SetEnabled(bool on);
  bool ToggleEnabled() { return SetEnabled(!last_.enabled); }
  bool SetControl(const std::string& key, const std::string& value);
  bool Reload();
  bool StartIfStopped();
  bool RestartDaemon() { return RequestService(true); }
  bool RequestService(bool restart);
  bool LaunchVisualizer();
  bool LoadPreset(const std::string& name);
  // A name the daemon would refuse is refused here, with `error` saying why, and not sent.
  bool SavePreset(const std::string& name, std::string& error);
  // Binds the current preset to the active device (bind), or drops that device's binding.
  bool BindCurrentToActive(bool bind);

  const EngineStatus& last() const { return last_; }
  const std::vector<AudioDevice>& devices() const { return devices_; }
  const PresetState& presets() const { return presets_; }

 private:
  enum class Pending { None = 0, Start = 1, Restart = 2 };

  void SettlePending(EngineStatus& status);
  bool SendPreset(const std::string& args, const std::string& what);
  void ReportFailure(const std::string& what, const std::string& detail);
  void Announce(const Notice& notice) const;

  EngineRemote& engine_;
  Notifier& notifier_;
  ServiceControl& service_;
  EngineStatus last_;
  std::vector<AudioDevice> devices_;
  PresetState presets_;
  BoundPresetWatch bound_presets_;
  int device_countdown_ = 0;
  bool seen_ = false;
  Pending pending_ = Pending::None;
  bool restore_ = false;
  int pending_misses_ = 0;  // refreshes since the request that did not reach the daemon
};

}  // namespace halvex
