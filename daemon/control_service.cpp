#include "daemon/control_service.h"

#include <cstddef>
#include <vector>

#include "core/config/config_params.h"
#include "daemon/routing_policy.h"

namespace halvex {
namespace {

// A protocol client need not read more of a reply than a command line may hold; the device list
// is kept within that so every client gets it whole.
constexpr size_t kMaxReplyBytes = 4096;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::vector<std::string> SplitWords(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// "|" and control bytes would break the one-line, bar-separated reply.
std::string Blanked(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '|') c = ' ';
  }
  return text;
}

// Echoed input goes back as text: a control byte (an escape sequence, a NUL) is shown as \xNN so
// it can neither steer the user's terminal nor end the reply line early.
std::string Escaped(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace

ControlService::ControlService(EngineControl& engine, ConfigProvider& provider,
                               PresetService* presets)
    : engine_(engine), provider_(provider), presets_(presets) {}

std::string ControlService::DeviceChanged(const std::string& device) {
  std::lock_guard<std::mutex> lock(mutex_);
  return presets_ != nullptr ? presets_->OnActiveDevice(device) : "";
}

std::string ControlService::Handle(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::vector<std::string> words = SplitWords(line);
  if (words.empty()) return "ERR empty command";
  const std::string& command = words[0];
  if (command == "status") return Status();
  if (command == "devices") return Devices();
  if (command == "enable" || command == "on") return SetEnabled(true);
  if (command == "disable" || command == "off") return SetEnabled(false);
  if (command == "set") {
    if (words.size() < 3) return "ERR usage: set <key> <value>";
    return Set(words[1], words[2]);
  }
  if (command == "reload") return Reload();
  if (command == "latency") return Latency();
  if (presets_ != nullptr && command == "preset") return presets_->HandlePreset(words);
  if (presets_ != nullptr && command == "bypass") return presets_->HandleBypass(words);
  if (presets_ != nullptr && command == "streams") return presets_->Streams();
  return "ERR unknown command: " + Escaped(command);
}

std::string ControlService::Status() {
  const ProcessorConfig config = engine_.CurrentConfig();
  std::string reply = engine_.IsEnabled() ? "OK enabled=1" : "OK enabled=0";
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

std::string ControlService::Devices() {
  const std::string active = engine_.ActiveDevice();
  const std::vector<AudioDevice> devices = engine_.Devices();

  std::vector<std::string> entries;
  std::vector<bool> is_active;
  size_t active_bytes = 0;
  // The name goes out unchanged, so only names that cannot break the line are listed.
  for (const AudioDevice& device : ListableDevices(devices)) {
    const bool on = device.name == active;
    entries.push_back("\t" + device.name + "|" + Blanked(device.description) + "|" +
                      std::to_string(device.priority) + "|" + (on ? "1" : "0"));
    is_active.push_back(on);
    if (on) active_bytes += entries.back().size();
  }

  // Past the client's limit the line would be cut mid-entry; drop whole entries instead,
  // keeping the active device listed.
  std::string reply = "OK devices";
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

std::string ControlService::SetEnabled(bool on) {
  engine_.SetEnabled(on);
  const std::string note = Persist(engine_.CurrentConfig());
  return (on ? "OK enabled" : "OK disabled") + note;
}

std::string ControlService::Set(const std::string& key, const std::string& value) {
  ProcessorConfig config = engine_.CurrentConfig();
  std::string error;
  if (!ApplyParam(config, key, value, error)) return "ERR " + Escaped(error);
  if (!engine_.Reconfigure(config, error)) return "ERR " + Escaped(error);
  return "OK set " + Escaped(key) + "=" + Escaped(value) + Persist(config);
}

std::string ControlService::Reload() {
  ProcessorConfig config = DefaultConfig();
  if (!provider_.Load(config)) return "ERR config reload failed (kept previous)";
  std::string error;
  if (!engine_.Reconfigure(config, error)) return "ERR " + error;
  return "OK reloaded";
}

std::string ControlService::Latency() {
  const EngineLatency latency = engine_.Latency();
  return "OK latency engine=" + std::to_string(latency.engine_frames) +
         " quantum=" + std::to_string(latency.quantum) + " rate=" + std::to_string(latency.rate);
}

std::string ControlService::Persist(const ProcessorConfig& config) {
  ProcessorConfig copy = config;
  copy.enabled = engine_.IsEnabled();
  std::string error;
  if (provider_.Save(copy, error)) return "";
  return " (not saved: " + error + ")";
}

}  // namespace halvex
