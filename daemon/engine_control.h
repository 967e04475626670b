// What the control service may ask of the running engine.
#pragma once

#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/ipc/engine_facts.h"

namespace halvex {

// Implemented by the PipeWire daemon; called from the control thread at any time.
class EngineControl {
 public:
  virtual ~EngineControl() = default;
  // true: processing on; false: pass-through.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool IsEnabled() const = 0;
  // Validates and installs a new configuration; on false `error` says why and nothing changed.
  virtual bool Reconfigure(const ProcessorConfig& config, std::string& error) = 0;
  virtual ProcessorConfig CurrentConfig() const = 0;
  virtual std::vector<AudioDevice> Devices() const = 0;
  // Node name of the device the DSP output is linked to now (empty when none).
  virtual std::string ActiveDevice() const = 0;
  virtual EngineLatency Latency() const = 0;
  // Playback streams of other programs, in node id order.
  virtual std::vector<PlaybackStream> Streams() const { return {}; }
  // Streams of these apps (by application name or process binary) go straight to the device.
  virtual void SetBypassApps(const std::vector<std::string>& apps) { (void)apps; }
};

}  // namespace halvex
