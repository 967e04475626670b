#include "core/config/preset_store.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "core/config/config_keys.h"
#include "core/config/json_config.h"
#include "core/config/preset_name.h"
#include "core/config/safe_file.h"

namespace halvex {

namespace {

using nlohmann::json;

constexpr const char* kSuffix = ".json";

}  // namespace

std::vector<std::string> PresetKeys() {
  std::vector<std::string> keys;
  for (const ConfigKey& key : ConfigKeys()) {
    if (key.settable && key.type != KeyType::kDevice) keys.emplace_back(key.name);
  }
  return keys;
}

std::string PresetToJson(const ProcessorConfig& config) {
  // Going through the configuration file's writer keeps one rounding and one spelling of values.
  const json full = json::parse(ConfigToJson(config));
  json preset = json::object();
  for (const std::string& key : PresetKeys()) {
    if (full.contains(key)) preset[key] = full[key];
  }
  return preset.dump(2) + "\n";
}

bool ApplyPresetJson(const std::string& text, const ProcessorConfig& base, ProcessorConfig& out,
                     std::string& error) {
  // The preset alone first: size, nesting, syntax and types get the file parser's messages.
  ProcessorConfig alone;
  if (!ParseConfigJson(text, alone, error)) return false;
  const json preset = json::parse(text);
  json merged = json::parse(ConfigToJson(base));
  for (const std::string& key : PresetKeys()) {
    if (preset.contains(key)) merged[key] = preset[key];
  }
  return ParseConfigJson(merged.dump(), out, error);
}

PresetStore::PresetStore(std::string folder) : folder_(std::move(folder)) {}

std::string PresetStore::PathOf(const std::string& name) const {
  return folder_ + "/" + name + kSuffix;
}

std::vector<std::string> PresetStore::List() const {
  std::vector<std::string> names;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder_, ec);
  if (ec) return names;
  const std::size_t suffix = std::strlen(kSuffix);
  for (const auto& entry : it) {
    const std::string file = entry.path().filename().string();
    if (file.size() <= suffix || file.compare(file.size() - suffix, suffix, kSuffix) != 0) continue;
    const std::string name = file.substr(0, file.size() - suffix);
    std::error_code kind_error;
    if (IsValidPresetName(name) && entry.is_regular_file(kind_error)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool PresetStore::Exists(const std::string& name) const {
  std::error_code ec;
  return std::filesystem::is_regular_file(PathOf(name), ec);
}

bool PresetStore::Save(const std::string& name, const ProcessorConfig& config,
                       std::string& error) {
  return ReplaceFileAtomicallyWithReason(PathOf(name), PresetToJson(config), error);
}

bool PresetStore::Load(const std::string& name, const ProcessorConfig& base, ProcessorConfig& out,
                       std::string& error) const {
  std::string text;
  if (!ReadSmallFile(PathOf(name), kMaxConfigBytes, text)) {
    error = "cannot read " + PathOf(name);
    return false;
  }
  return ApplyPresetJson(text, base, out, error);
}

bool PresetStore::Remove(const std::string& name, std::string& error) {
  const std::string path = PathOf(name);
  if (::unlink(path.c_str()) != 0) {
    error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string PresetAnchor(const std::string& config_path, bool named_by_user,
                         const char* xdg_config_home) {
  if (named_by_user || xdg_config_home == nullptr || xdg_config_home[0] != '/') {
    return config_path;
  }
  return std::string(xdg_config_home) + "/halvex/config.json";
}

std::string PresetFolderFor(const std::string& config_path) {
  const std::size_t slash = config_path.rfind('/');
  if (slash == std::string::npos) return "presets";
  return config_path.substr(0, slash + 1) + "presets";
}

}  // namespace halvex
