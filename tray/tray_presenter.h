// The tray's logic, free of any toolkit: polls the engine, announces changes, drives the service
// manager and produces what the icon and the window draw.
#pragma once

#include <string>
#include <vector>

#include "tray/remote_engine.h"

namespace halvex {

enum class NotifyLevel : int { Info = 0, Warning = 1 };

class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void Notify(NotifyLevel level, const std::string& title, const std::string& body) = 0;
};

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

// The display label of an algorithm's protocol name (the name itself when the table has none).
std::string AlgorithmLabel(SpatialAlgorithm algorithm);

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
  void AnnounceChanges(const EngineStatus& status) const;
  void AnnounceBoundLoad(const PresetState& presets);
  bool SendPreset(const std::string& args, const std::string& what);
  void ReportFailure(const std::string& what, const std::string& detail);
  void Announce(NotifyLevel level, const std::string& body) const;

  EngineRemote& engine_;
  Notifier& notifier_;
  ServiceControl& service_;
  EngineStatus last_;
  std::vector<AudioDevice> devices_;
  PresetState presets_;
  // A device that became active before its bound preset showed up in force.
  std::string awaiting_load_;
  int device_countdown_ = 0;
  bool seen_ = false;
  Pending pending_ = Pending::None;
  bool restore_ = false;
  int pending_misses_ = 0;  // refreshes since the request that did not reach the daemon
};

}  // namespace halvex
