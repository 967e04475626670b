// The control protocol's replies about presets, bindings, bypassed apps and playback streams:
// how the daemon writes each one and how its clients read it back.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "core/config/device_bindings.h"
#include "core/ipc/engine_facts.h"

namespace halvex {

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

// "OK presets", then a tab and each name, as many as fit the reply limit.
std::string FormatPresetList(const std::vector<std::string>& names);
// "OK preset NAME", or "OK preset none" for an empty `name`.
std::string FormatCurrentPreset(const std::string& name);
// "OK bindings", then a tab and DEVICE=NAME per binding, and *=NAME for the fallback.
std::string FormatBindingList(const DeviceBindings& bindings);
// "OK bypass", then a tab and each bypassed app.
std::string FormatBypassList(const std::vector<std::string>& apps);
// "OK streams", then a tab and APP|processed or APP|bypassed per stream, as many as fit; "|" and
// control bytes in an app's name (another program chose it) become spaces.
std::string FormatStreamList(const std::vector<PlaybackStream>& streams);

// Each returns false, leaving `state` alone, unless the reply is the one it reads.
bool ParsePresetList(const std::string& line, PresetState& state);
bool ParseCurrentPreset(const std::string& line, PresetState& state);
bool ParseBindingList(const std::string& line, PresetState& state);

}  // namespace halvex
