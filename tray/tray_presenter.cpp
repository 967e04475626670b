#include "tray/tray_presenter.h"

#include <cstdio>

#include "core/config/config_params.h"
#include "core/config/preset_name.h"

namespace halvex {
namespace {

// Devices are fetched on the first refresh and then on every sixth.
constexpr int kDeviceRefreshEvery = 5;

}  // namespace

TrayPresenter::TrayPresenter(EngineRemote& engine, Notifier& notifier, ServiceControl& service)
    : engine_(engine), notifier_(notifier), service_(service) {}

TrayView TrayPresenter::Refresh() {
  if (device_countdown_ <= 0) {
    device_countdown_ = kDeviceRefreshEvery;
    devices_ = engine_.Devices();
  } else {
    --device_countdown_;
  }
  EngineStatus status;
  engine_.Fetch(status);
  if (pending_ != Pending::None) {
    SettlePending(status);
  } else if (seen_) {
    for (const Notice& notice : ChangeNotices(last_, status)) Announce(notice);
  }
  PresetState presets;
  engine_.FetchPresets(presets);
  if (seen_) {
    if (const auto notice = bound_presets_.Update(presets_, presets)) Announce(*notice);
  }
  presets_ = std::move(presets);
  seen_ = true;
  last_ = status;
  return View();
}

TrayView TrayPresenter::View() const {
  TrayView view;
  view.reachable = last_.reachable;
  view.enabled = last_.enabled;
  if (!view.reachable) {
    view.tooltip = "halvex — daemon not running";
    return view;
  }
  view.algorithm = AlgorithmLabel(last_.config.spatial_algorithm);
  const EngineLatency& latency = last_.latency;
  if (latency.rate != 0 && latency.quantum != 0) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms",
                  (static_cast<double>(latency.engine_frames) + latency.quantum) * 1000.0 /
                      latency.rate);
    view.latency = text;
  }
  view.tooltip =
      std::string("halvex — ") + (view.enabled ? "on" : "pass-through") + ", " + view.algorithm;
  return view;
}

void TrayPresenter::SettlePending(EngineStatus& status) {
  const bool restart = pending_ == Pending::Restart;
  if (!status.reachable) {
    // A daemon that died right after systemctl reported success must not be waited for silently.
    if (++pending_misses_ >= kPendingRefreshLimit) {
      pending_ = Pending::None;
      ReportFailure(ServiceRequestName(restart), "halvexd is not answering");
    }
    return;
  }
  pending_ = Pending::None;
  bool restored = false;
  if (restart && restore_ && !status.enabled) {
    std::string error;
    restored = engine_.SetEnabled(true, error);
    if (restored) {
      EngineStatus again;
      engine_.Fetch(again);
      // Keep what we had if the second fetch failed: the daemon was there a moment ago.
      if (again.reachable) status = again;
    }
  }
  Announce(SettledNotice(restart, status.enabled, restored));
}

void TrayPresenter::ReportFailure(const std::string& what, const std::string& detail) {
  Announce(FailureNotice(what, detail));
}

void TrayPresenter::Announce(const Notice& notice) const {
  notifier_.Notify(notice.level, kNoticeTitle, notice.body);
}

bool TrayPresenter::RequestService(bool restart) {
  restore_ = last_.enabled;
  std::string error;
  const bool ok = restart ? service_.Restart(error) : service_.Start(error);
  if (!ok) {
    pending_ = Pending::None;
    ReportFailure(ServiceRequestName(restart), error);
    return false;
  }
  pending_ = restart ? Pending::Restart : Pending::Start;
  pending_misses_ = 0;
  return true;
}

bool TrayPresenter::StartIfStopped() {
  if (last_.reachable) return false;
  return RequestService(false);
}

bool TrayPresenter::SetEnabled(bool on) {
  std::string error;
  const bool ok = engine_.SetEnabled(on, error);
  if (!ok) ReportFailure(on ? "Enabling" : "Disabling", error);
  Refresh();
  return ok;
}

bool TrayPresenter::SetControl(const std::string& key, const std::string& value) {
  std::string error;
  if (!engine_.SetParam(key, value, error)) {
    ReportFailure("Setting " + key, error);
    return false;
  }
  ApplyParam(last_.config, key, value, error);
  return true;
}

bool TrayPresenter::Reload() {
  std::string error;
  const bool ok = engine_.Reload(error);
  if (!ok) {
    ReportFailure("Reloading the configuration", error);
  } else {
    Announce(ReloadedNotice());
    Refresh();
  }
  return ok;
}

bool TrayPresenter::SendPreset(const std::string& args, const std::string& what) {
  std::string error;
  const bool ok = engine_.PresetCommand(args, error);
  if (!ok) ReportFailure(what, error);
  Refresh();
  return ok;
}

bool TrayPresenter::LoadPreset(const std::string& name) {
  return SendPreset("load " + name, "Loading preset " + name);
}

bool TrayPresenter::SavePreset(const std::string& name, std::string& error) {
  if (!IsValidPresetName(name)) {
    error = "Use 1 to 64 letters, digits, '-', '_' or '.', not starting with '.'";
    return false;
  }
  return SendPreset("save " + name, "Saving preset " + name);
}

bool TrayPresenter::BindCurrentToActive(bool bind) {
  const std::string& device = presets_.active.name;
  if (device.empty() || (bind && presets_.current.empty())) return false;
  if (bind) return SendPreset("bind " + device + " " + presets_.current, "Binding the preset");
  return SendPreset("unbind " + device, "Unbinding the preset");
}

bool TrayPresenter::LaunchVisualizer() {
  std::string error;
  const bool ok = service_.Launch("halvex-vis", error);
  if (!ok) ReportFailure("Visualizer", error);
  return ok;
}

}  // namespace halvex
