#include "daemon/control_service.h"

#include <cstddef>
#include <vector>

#include "core/config/config_params.h"
#include "core/ipc/control_replies.h"
#include "core/ipc/control_words.h"
#include "daemon/routing_policy.h"

namespace halvex {
namespace {

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
  if (command == command::kStatus) return Status();
  if (command == command::kDevices) return Devices();
  if (command == command::kEnable || command == command::kOn) return SetEnabled(true);
  if (command == command::kDisable || command == command::kOff) return SetEnabled(false);
  if (command == command::kSet) {
    if (words.size() < 3) return "ERR usage: set <key> <value>";
    return Set(words[1], words[2]);
  }
  if (command == command::kReload) return Reload();
  if (command == command::kLatency) return Latency();
  if (presets_ != nullptr && command == command::kPreset) return presets_->HandlePreset(words);
  if (presets_ != nullptr && command == command::kBypass) return presets_->HandleBypass(words);
  if (presets_ != nullptr && command == command::kStreams) return presets_->Streams();
  return "ERR unknown command: " + Escaped(command);
}

std::string ControlService::Status() {
  return FormatStatusLine(engine_.IsEnabled(), engine_.CurrentConfig());
}

std::string ControlService::Devices() {
  const std::string active = engine_.ActiveDevice();
  // The name goes out unchanged, so only names that cannot break the line are listed.
  return FormatDeviceList(ListableDevices(engine_.Devices()), active);
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

std::string ControlService::Latency() { return FormatLatencyLine(engine_.Latency()); }

std::string ControlService::Persist(const ProcessorConfig& config) {
  ProcessorConfig copy = config;
  copy.enabled = engine_.IsEnabled();
  std::string error;
  if (provider_.Save(copy, error)) return "";
  return " (not saved: " + error + ")";
}

}  // namespace halvex
