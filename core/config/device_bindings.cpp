#include "core/config/device_bindings.h"

#include <sys/stat.h>

#include <cerrno>

#include <nlohmann/json.hpp>

#include "core/config/config_validation.h"
#include "core/config/fail.h"
#include "core/config/json_config.h"
#include "core/config/preset_name.h"
#include "core/config/safe_file.h"

namespace halvex {

namespace {

using nlohmann::json;

}  // namespace

const std::string* PresetForDevice(const DeviceBindings& bindings, const std::string& device) {
  const auto it = bindings.devices.find(device);
  if (it != bindings.devices.end()) return &it->second;
  return bindings.fallback.empty() ? nullptr : &bindings.fallback;
}

std::string BindingsToJson(const DeviceBindings& bindings) {
  json root = json::object();
  root["devices"] = bindings.devices;
  root["fallback"] = bindings.fallback;
  root["bypass"] = bindings.bypass;
  return root.dump(2) + "\n";
}

bool ParseBindingsJson(const std::string& text, DeviceBindings& out, std::string& error) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {
    return Fail(error, std::string("json parse error: ") + e.what());
  }
  if (!root.is_object()) return Fail(error, "bindings root must be a JSON object");

  DeviceBindings parsed;
  if (root.contains("devices")) {
    const json& devices = root["devices"];
    if (!devices.is_object()) return Fail(error, "devices must be an object");
    for (const auto& [device, preset] : devices.items()) {
      // The name goes out unchanged in the bindings reply.
      std::string ignored;
      if (device.empty() || !IsSafeDeviceName(device, ignored)) {
        return Fail(error, "devices holds an invalid device name");
      }
      if (!preset.is_string() || !IsValidPresetName(preset.get<std::string>())) {
        return Fail(error, "devices must map to preset names: " + device);
      }
      parsed.devices[device] = preset.get<std::string>();
    }
  }
  if (root.contains("fallback")) {
    const json& fallback = root["fallback"];
    if (!fallback.is_string()) return Fail(error, "fallback must be a string");
    parsed.fallback = fallback.get<std::string>();
    if (!parsed.fallback.empty() && !IsValidPresetName(parsed.fallback)) {
      return Fail(error, "fallback must be a preset name: " + parsed.fallback);
    }
  }
  if (root.contains("bypass")) {
    const json& bypass = root["bypass"];
    if (!bypass.is_array()) return Fail(error, "bypass must be an array of strings");
    for (const json& app : bypass) {
      if (!app.is_string()) return Fail(error, "bypass must be an array of strings");
      parsed.bypass.push_back(app.get<std::string>());
    }
  }
  out = std::move(parsed);
  return true;
}

bool LoadBindingsFile(const std::string& path, DeviceBindings& out, std::string& error) {
  std::string text;
  if (!ReadSmallFile(path, kMaxConfigBytes, text)) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
      out = DeviceBindings{};
      return true;
    }
    return Fail(error, "cannot open or oversized bindings file: " + path);
  }
  if (!ParseBindingsJson(text, out, error)) return Fail(error, path + ": " + error);
  return true;
}

bool SaveBindingsFile(const std::string& path, const DeviceBindings& bindings,
                      std::string& error) {
  std::string text;
  try {
    text = BindingsToJson(bindings);
  } catch (const json::exception&) {
    return Fail(error, "bindings hold a name that is not UTF-8");
  }
  return ReplaceFileAtomicallyWithReason(path, text, error);
}

std::string BindingsPathFor(const std::string& config_path) {
  const std::size_t slash = config_path.rfind('/');
  if (slash == std::string::npos) return "bindings.json";
  return config_path.substr(0, slash + 1) + "bindings.json";
}

}  // namespace halvex
