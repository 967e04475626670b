// What the control service may ask of the running engine, and one output device it reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"

namespace halvex {

// One output device (a sink node) as the router knows it.
struct AudioDevice {
  std::string name;         // "node.name"
  std::string description;  // "node.description", the node name when absent
  int32_t priority = 0;     // "priority.session"
  uint32_t id = 0;          // registry id
  uint64_t serial = 0;      // "object.serial"
};

// One playback stream: its application, and whether it plays past the engine.
struct PlaybackStream {
  std::string app;  // "application.name", else the process binary, else the node name
  bool bypassed = false;
};

// What the engine adds to the graph's latency, and the graph's last cycle.
struct EngineLatency {
  uint32_t engine_frames = 0;  // the heard processor's latency (0 while processing is off)
  uint32_t quantum = 0;        // frames of the last cycle (0 before the first)
  uint32_t rate = 0;           // the graph's rate in Hz (0 before the first cycle)
};

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
