#include "tray/notification_policy.h"

#include "core/config/config_keys.h"
#include "core/config/config_names.h"
#include "tray/control_spec.h"

namespace halvex {
namespace {

constexpr const char* kPassThroughHint = " — pass-through. Switch Processing on to hear it.";

}  // namespace

std::string AlgorithmLabel(SpatialAlgorithm algorithm) {
  const char* name = SpatialAlgorithmName(algorithm);
  const char* label = ChoiceLabel(KeyName(&ProcessorConfig::spatial_algorithm), name);
  return label != nullptr ? label : name;
}

std::vector<Notice> ChangeNotices(const EngineStatus& before, const EngineStatus& now) {
  std::vector<Notice> notices;
  if (before.reachable && !now.reachable) {
    notices.push_back(
        {NotifyLevel::Warning, "Daemon is not running — audio is not being processed."});
  } else if (!before.reachable && now.reachable) {
    notices.push_back({NotifyLevel::Info, "Daemon connected."});
  } else if (before.reachable && now.reachable) {
    if (before.enabled != now.enabled) {
      notices.push_back({NotifyLevel::Info, now.enabled ? "Processing enabled."
                                                        : "Pass-through (processing off)."});
    }
    if (before.config.spatial_algorithm != now.config.spatial_algorithm) {
      notices.push_back(
          {NotifyLevel::Info, "Algorithm: " + AlgorithmLabel(now.config.spatial_algorithm) + "."});
    }
  }
  return notices;
}

std::string ServiceRequestName(bool restart) {
  return restart ? "Restarting the daemon" : "Starting the daemon";
}

Notice SettledNotice(bool restart, bool processing, bool restored) {
  if (restored) return {NotifyLevel::Info, "Daemon restarted, processing restored."};
  const std::string done = restart ? "Daemon restarted" : "Daemon started";
  return {NotifyLevel::Info, done + (processing ? "." : kPassThroughHint)};
}

Notice FailureNotice(const std::string& what, const std::string& detail) {
  return {NotifyLevel::Warning, what + " failed: " + detail};
}

Notice ReloadedNotice() { return {NotifyLevel::Info, "Configuration reloaded."}; }

std::optional<Notice> BoundPresetWatch::Update(const PresetState& before, const PresetState& now) {
  if (!now.known || !before.known) return std::nullopt;
  const std::string bound = now.BoundToActive();
  if (now.active.name != before.active.name) {
    awaiting_ = bound.empty() ? "" : now.active.name;
  }
  if (awaiting_.empty() || awaiting_ != now.active.name || now.current != bound) {
    return std::nullopt;
  }
  awaiting_.clear();
  return Notice{NotifyLevel::Info, "Preset " + bound + " for " + now.active.description + "."};
}

}  // namespace halvex
