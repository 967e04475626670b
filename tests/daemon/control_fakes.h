// In-memory stand-ins for the engine and the configuration store, for the control tests.
#pragma once

#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/config/config_validation.h"
#include "core/config/json_config.h"
#include "daemon/engine_control.h"

namespace halvex {

// Validates like the real engine and records every installed configuration.
class FakeEngine : public EngineControl {
 public:
  FakeEngine() : config(DefaultConfig()) {}
  void SetEnabled(bool on) override { enabled = on; }
  bool IsEnabled() const override { return enabled; }
  bool Reconfigure(const ProcessorConfig& next, std::string& error) override {
    ++reconfigure_calls;
    if (!ValidateConfig(next, error)) return false;
    config = next;
    return true;
  }
  ProcessorConfig CurrentConfig() const override { return config; }
  std::vector<AudioDevice> Devices() const override { return devices; }
  std::string ActiveDevice() const override { return active; }
  EngineLatency Latency() const override { return latency; }
  std::vector<PlaybackStream> Streams() const override { return streams; }
  void SetBypassApps(const std::vector<std::string>& apps) override { bypass_apps = apps; }

  bool enabled = false;
  ProcessorConfig config;
  int reconfigure_calls = 0;
  std::vector<AudioDevice> devices;
  std::string active;
  EngineLatency latency;
  std::vector<PlaybackStream> streams;
  std::vector<std::string> bypass_apps;
};

// A file that holds `stored` when `loadable`, and refuses writes when `save_error` is set.
class FakeProvider : public ConfigProvider {
 public:
  bool Load(ProcessorConfig& out) override {
    ++load_calls;
    out = loadable ? stored : DefaultConfig();
    return loadable;
  }
  bool Save(const ProcessorConfig& config, std::string& error) override {
    if (!save_error.empty()) {
      error = save_error;
      return false;
    }
    saved.push_back(config);
    return true;
  }

  ProcessorConfig stored = DefaultConfig();
  bool loadable = true;
  std::string save_error;
  int load_calls = 0;
  std::vector<ProcessorConfig> saved;
};

}  // namespace halvex
