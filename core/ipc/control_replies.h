// The daemon's status and devices reply lines turned back into data.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "daemon/engine_control.h"  // AudioDevice only: a plain record, nothing is linked

namespace halvex {

// The remote engine as the last status line described it.
struct EngineStatus {
  bool reachable = false;  // a status line starting with "OK" arrived
  bool enabled = false;    // the daemon's processing switch
  ProcessorConfig config = DefaultConfig();
  EngineLatency latency;   // all zero until a latency reply arrived
};

// Rebuilds `status` from a status reply; false (and reachable false) unless the first word is "OK".
// Pairs the accessor table rejects keep their defaults.
bool ParseStatusLine(const std::string& line, EngineStatus& status);

// Fills `latency` from "OK latency engine=N quantum=N rate=N"; false, with `latency` untouched,
// for any other line (a daemon that does not know the command answers "ERR ...").
bool ParseLatencyLine(const std::string& line, EngineLatency& latency);

// Name, description and priority of every well-formed entry of a devices reply; empty for any
// reply that is not one.
std::vector<AudioDevice> ParseDeviceList(const std::string& line);
// The entry of a devices reply flagged active; an empty name when there is none.
AudioDevice ParseActiveDevice(const std::string& line);

// The presets as the daemon's preset replies describe them.
struct PresetState {
  bool known = false;                          // the replies arrived
  std::vector<std::string> names;              // "preset list"
  std::string current;                         // "preset": empty for none
  std::map<std::string, std::string> devices;  // "preset bindings": device -> preset
  std::string fallback;                        // its "*" entry
  AudioDevice active;                          // "devices": the entry flagged active

  // The preset the active device gets: its binding, else the fallback; empty when neither.
  std::string BoundToActive() const;
};

// Each returns false, leaving `state` alone, unless the reply is the one it reads.
bool ParsePresetList(const std::string& line, PresetState& state);
bool ParseCurrentPreset(const std::string& line, PresetState& state);
bool ParseBindingList(const std::string& line, PresetState& state);

}  // namespace halvex
