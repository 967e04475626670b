// Interprets one control-protocol line against the running engine and the configuration store.
#pragma once

#include <mutex>
#include <string>

#include "core/config/config_defaults.h"
#include "core/config/json_config.h"
#include "daemon/engine_control.h"
#include "daemon/preset_service.h"

namespace halvex {

// Stateless apart from its references: everything it reports is read from the engine when asked.
// One command at a time: a device change may arrive from another thread while a client's command
// runs, and both change the settings and the files.
class ControlService {
 public:
  // Without `presets` the preset and bypass commands are unknown.
  ControlService(EngineControl& engine, ConfigProvider& provider,
                 PresetService* presets = nullptr);

  // The reply text, without its line end.
  std::string Handle(const std::string& line);
  // The active output device is now `device`: loads its preset, if it has one. Any thread.
  std::string DeviceChanged(const std::string& device);

  std::string Status();
  std::string Devices();
  std::string SetEnabled(bool on);
  std::string Set(const std::string& key, const std::string& value);
  std::string Reload();
  // "OK latency engine=<frames> quantum=<frames> rate=<Hz>".
  std::string Latency();
  // Saves `config` with the engine's current switch; empty on success, else " (not saved: ...)".
  std::string Persist(const ProcessorConfig& config);

 private:
  EngineControl& engine_;
  ConfigProvider& provider_;
  PresetService* presets_;
  std::mutex mutex_;
};

}  // namespace halvex
