#include "core/ipc/control_replies.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <utility>

#include "core/config/config_keys.h"
#include "core/config/config_params.h"

namespace halvex {
namespace {

constexpr const char* kDevicesHead = "OK devices";
constexpr const char* kLatencyHead = "OK latency";

// Leading base-10 digits with an optional sign; 0 when there are none. Saturates rather than wraps.
int32_t LeadingInt(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// "|" and control bytes would break the one-line, bar-separated reply.
std::string Blanked(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '|') c = ' ';
  }
  return text;
}

// One device entry of a devices reply, or false when the piece is not a well-formed one.
bool ParseDeviceEntry(const std::string& piece, AudioDevice& device, bool& active) {
  const std::vector<std::string> fields = SplitAt(piece, '|');
  if (fields.size() < 4 || fields[0].empty()) return false;
  device = AudioDevice{};
  device.name = fields[0];
  device.description = fields[1];
  device.priority = LeadingInt(fields[2]);
  active = fields[3] == "1";
  return true;
}

// The entries of a devices reply; false when the line is not one.
bool ParseDeviceEntries(const std::string& line, std::vector<std::pair<AudioDevice, bool>>& out) {
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0].rfind(kDevicesHead, 0) != 0) return false;
  for (size_t i = 1; i < pieces.size(); ++i) {
    AudioDevice device;
    bool active = false;
    if (ParseDeviceEntry(pieces[i], device, active)) out.emplace_back(std::move(device), active);
  }
  return true;
}

}  // namespace

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

std::string FormatStatusLine(bool enabled, const ProcessorConfig& config) {
  std::string reply = enabled ? "OK enabled=1" : "OK enabled=0";
  for (size_t i = 0; i < ParamKeyCount(); ++i) {
    const char* key = ParamKeyAt(i);
    std::string text;
    if (!ReadParamText(config, key, text)) continue;
    reply += ' ';
    reply += key;
    reply += '=';
    reply += text;
  }
  return reply;
}

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
    if (key == KeyName(&ProcessorConfig::enabled)) {
      status.enabled = value == "1";
    } else {
      ApplyParam(status.config, key, value, ignored);
    }
  }
  return true;
}

std::string FormatLatencyLine(const EngineLatency& latency) {
  return std::string(kLatencyHead) + " engine=" + std::to_string(latency.engine_frames) +
         " quantum=" + std::to_string(latency.quantum) + " rate=" + std::to_string(latency.rate);
}

bool ParseLatencyLine(const std::string& line, EngineLatency& latency) {
  std::istringstream words(line);
  std::string ok, command;
  if (!(words >> ok >> command) || ok + " " + command != kLatencyHead) return false;
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

std::string FormatDeviceList(const std::vector<AudioDevice>& devices, const std::string& active) {
  std::vector<std::string> entries;
  std::vector<bool> is_active;
  size_t active_bytes = 0;
  for (const AudioDevice& device : devices) {
    const bool on = device.name == active;
    entries.push_back("\t" + device.name + "|" + Blanked(device.description) + "|" +
                      std::to_string(device.priority) + "|" + (on ? "1" : "0"));
    is_active.push_back(on);
    if (on) active_bytes += entries.back().size();
  }

  // Past the client's limit the line would be cut mid-entry; drop whole entries instead,
  // keeping the active device listed.
  std::string reply = kDevicesHead;
  size_t reserved = active_bytes;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (is_active[i]) {
      if (reply.size() + entries[i].size() > kMaxReplyBytes) continue;
      reserved -= entries[i].size();
      reply += entries[i];
    } else if (reply.size() + reserved + entries[i].size() <= kMaxReplyBytes) {
      reply += entries[i];
    }
  }
  return reply;
}

std::vector<AudioDevice> ParseDeviceList(const std::string& line) {
  std::vector<std::pair<AudioDevice, bool>> entries;
  std::vector<AudioDevice> devices;
  if (!ParseDeviceEntries(line, entries)) return devices;
  for (auto& [device, active] : entries) devices.push_back(std::move(device));
  return devices;
}

AudioDevice ParseActiveDevice(const std::string& line) {
  std::vector<std::pair<AudioDevice, bool>> entries;
  if (!ParseDeviceEntries(line, entries)) return {};
  for (auto& [device, active] : entries) {
    if (active) return std::move(device);
  }
  return {};
}

}  // namespace halvex
