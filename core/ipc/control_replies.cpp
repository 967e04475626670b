#include "core/ipc/control_replies.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

#include "core/config/config_params.h"

namespace halvex {
namespace {

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return pieces;
    start = end + 1;
  }
}

// Leading base-10 digits with an optional sign; 0 when there are none. Saturates rather than wraps.
int32_t LeadingInt(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

bool ParseStatusLine(const std::string& line, EngineStatus& status) {
  status = EngineStatus{};
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "OK") return false;
  status.reachable = true;
  std::string ignored;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == word.size()) continue;
    const std::string key = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    if (key == "enabled") {
      status.enabled = value == "1";
    } else {
      ApplyParam(status.config, key, value, ignored);
    }
  }
  return true;
}

bool ParseLatencyLine(const std::string& line, EngineLatency& latency) {
  std::istringstream words(line);
  std::string ok, command;
  if (!(words >> ok >> command) || ok != "OK" || command != "latency") return false;
  EngineLatency parsed;
  const std::pair<const char*, uint32_t*> fields[] = {
      {"engine=", &parsed.engine_frames}, {"quantum=", &parsed.quantum}, {"rate=", &parsed.rate}};
  for (const auto& [prefix, out] : fields) {
    std::string word;
    const size_t n = std::char_traits<char>::length(prefix);
    if (!(words >> word) || word.compare(0, n, prefix) != 0 || word.size() == n ||
        word.size() > n + 9 || word.find_first_not_of("0123456789", n) != std::string::npos) {
      return false;
    }
    *out = static_cast<uint32_t>(std::stoul(word.substr(n)));
  }
  latency = parsed;
  return true;
}

std::vector<AudioDevice> ParseDeviceList(const std::string& line) {
  std::vector<AudioDevice> devices;
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0].size() < 10 || pieces[0].compare(0, 10, "OK devices") != 0) return devices;
  for (size_t i = 1; i < pieces.size(); ++i) {
    const std::vector<std::string> fields = SplitAt(pieces[i], '|');
    if (fields.size() < 4 || fields[0].empty()) continue;
    AudioDevice device;
    device.name = fields[0];
    device.description = fields[1];
    device.priority = LeadingInt(fields[2]);
    devices.push_back(std::move(device));
  }
  return devices;
}

AudioDevice ParseActiveDevice(const std::string& line) {
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0] != "OK devices") return {};
  for (size_t i = 1; i < pieces.size(); ++i) {
    const std::vector<std::string> fields = SplitAt(pieces[i], '|');
    if (fields.size() < 4 || fields[0].empty() || fields[3] != "1") continue;
    AudioDevice device;
    device.name = fields[0];
    device.description = fields[1];
    device.priority = LeadingInt(fields[2]);
    return device;
  }
  return {};
}

std::string PresetState::BoundToActive() const {
  const auto bound = devices.find(active.name);
  if (!active.name.empty() && bound != devices.end()) return bound->second;
  return active.name.empty() ? std::string() : fallback;
}

bool ParsePresetList(const std::string& line, PresetState& state) {
  std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0] != "OK presets") return false;
  pieces.erase(pieces.begin());
  state.names = std::move(pieces);
  return true;
}

bool ParseCurrentPreset(const std::string& line, PresetState& state) {
  constexpr const char* kPrefix = "OK preset ";
  if (line.rfind(kPrefix, 0) != 0 || line.find(' ', 10) != std::string::npos) return false;
  const std::string name = line.substr(10);
  state.current = name == "none" ? "" : name;
  return true;
}

bool ParseBindingList(const std::string& line, PresetState& state) {
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0] != "OK bindings") return false;
  state.devices.clear();
  state.fallback.clear();
  for (size_t i = 1; i < pieces.size(); ++i) {
    // Preset names hold no '=', device names may.
    const size_t eq = pieces[i].rfind('=');
    if (eq == std::string::npos || eq == 0) continue;
    const std::string device = pieces[i].substr(0, eq);
    if (device == "*") {
      state.fallback = pieces[i].substr(eq + 1);
    } else {
      state.devices[device] = pieces[i].substr(eq + 1);
    }
  }
  return true;
}

}  // namespace halvex
