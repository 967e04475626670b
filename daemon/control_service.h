// Interprets one control-protocol line against the running engine and the configuration store.
#pragma once

#include <string>

#include "core/config/config_defaults.h"
#include "core/config/json_config.h"
#include "daemon/engine_control.h"

namespace halvex {

// Stateless apart from its two references: everything it reports is read from the engine when asked.
// Only the socket server thread calls it, so it takes no lock of its own.
class ControlService {
 public:
  ControlService(EngineControl& engine, ConfigProvider& provider);

  // The reply text, without its line end.
  std::string Handle(const std::string& line);

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
};

}  // namespace halvex
