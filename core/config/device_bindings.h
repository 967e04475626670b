// Which preset each output device gets, the fallback for the others, and the apps that bypass
// the engine: one small JSON file beside the configuration.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace halvex {

struct DeviceBindings {
  std::map<std::string, std::string> devices;  // device node name -> preset name
  std::string fallback;                        // empty: none
  std::vector<std::string> bypass;             // application names, in the order added

  bool operator==(const DeviceBindings&) const = default;
};

// The binding for `device`, else the fallback; null when neither exists.
const std::string* PresetForDevice(const DeviceBindings& bindings, const std::string& device);

std::string BindingsToJson(const DeviceBindings& bindings);
// On failure `out` is untouched and `error` holds one message.
bool ParseBindingsJson(const std::string& text, DeviceBindings& out, std::string& error);

// A missing file is an empty set of bindings.
bool LoadBindingsFile(const std::string& path, DeviceBindings& out, std::string& error);
bool SaveBindingsFile(const std::string& path, const DeviceBindings& bindings, std::string& error);

// The bindings file that belongs with the configuration file at `config_path`.
std::string BindingsPathFor(const std::string& config_path);

}  // namespace halvex
