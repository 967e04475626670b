#include "daemon/preset_service.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "core/config/config_validation.h"
#include "core/config/preset_name.h"
#include "core/ipc/control_replies.h"
#include "core/ipc/control_words.h"
#include "core/ipc/preset_replies.h"

namespace halvex {
namespace {

constexpr std::size_t kMaxAppBytes = 256;

constexpr const char* kPresetUsage =
    "ERR usage: preset [list | save NAME | load NAME | delete NAME | bind DEVICE NAME | "
    "unbind DEVICE | fallback NAME|none | bindings]";
constexpr const char* kBypassUsage = "ERR usage: bypass add APP | bypass remove APP | bypass list";

// A refused name is echoed back; control bytes would break the reply line.
std::string Shown(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::string JoinFrom(const std::vector<std::string>& words, std::size_t first) {
  std::string joined;
  for (std::size_t i = first; i < words.size(); ++i) {
    if (!joined.empty()) joined += ' ';
    joined += words[i];
  }
  return joined;
}

bool HasControlBytes(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
}

}  // namespace

PresetService::PresetService(EngineControl& engine, ConfigProvider& provider, PresetStore store,
                             std::string bindings_path)
    : engine_(engine),
      provider_(provider),
      store_(std::move(store)),
      bindings_path_(std::move(bindings_path)) {}

bool PresetService::LoadBindings(std::string& error) {
  if (LoadBindingsFile(bindings_path_, bindings_, error)) {
    engine_.SetBypassApps(bindings_.bypass);
    return true;
  }
  unreadable_ = error;
  return false;
}

std::string PresetService::HandlePreset(const std::vector<std::string>& words) {
  const std::size_t count = words.size();
  if (count == 1) return Current();
  const std::string& verb = words[1];
  if (verb == preset_verb::kList && count == 2) return List();
  if (verb == preset_verb::kBindings && count == 2) return ListBindings();
  if (verb == preset_verb::kSave && count == 3) return Save(words[2]);
  if (verb == preset_verb::kLoad && count == 3) return Load(words[2]);
  if (verb == preset_verb::kDelete && count == 3) return Delete(words[2]);
  if (verb == preset_verb::kBind && count == 4) return Bind(words[2], words[3]);
  if (verb == preset_verb::kUnbind && count == 3) return Unbind(words[2]);
  if (verb == preset_verb::kFallback && count == 3) return Fallback(words[2]);
  return kPresetUsage;
}

std::string PresetService::HandleBypass(const std::vector<std::string>& words) {
  const bool adds = words.size() >= 3 && words[1] == bypass_verb::kAdd;
  if (words.size() == 2 && words[1] == bypass_verb::kList) {
    return FormatBypassList(bindings_.bypass);
  }
  if (words.size() < 3 || (!adds && words[1] != bypass_verb::kRemove)) return kBypassUsage;
  const std::string app = JoinFrom(words, 2);
  if (app.size() > kMaxAppBytes || HasControlBytes(app)) {
    return "ERR invalid app name: " + Shown(app);
  }
  DeviceBindings next = bindings_;
  const auto found = std::find(next.bypass.begin(), next.bypass.end(), app);
  if (adds) {
    if (found == next.bypass.end()) next.bypass.push_back(app);
    if (FormatBypassList(next.bypass).size() > kMaxReplyBytes) return "ERR bypass list is full";
  } else {
    if (found == next.bypass.end()) return "ERR not bypassed: " + app;
    next.bypass.erase(found);
  }
  const std::string refused = Commit(next);
  if (!refused.empty()) return refused;
  engine_.SetBypassApps(bindings_.bypass);
  return (adds ? "OK bypass added " : "OK bypass removed ") + app;
}

std::string PresetService::Streams() const { return FormatStreamList(engine_.Streams()); }

std::string PresetService::OnActiveDevice(const std::string& device) {
  if (device.empty()) return "";
  const std::string* name = PresetForDevice(bindings_, device);
  if (name == nullptr) return "";
  return Load(*name);
}

std::string PresetService::Current() const {
  const bool holds =
      !current_name_.empty() && PresetToJson(engine_.CurrentConfig()) == current_text_;
  return FormatCurrentPreset(holds ? current_name_ : std::string());
}

std::string PresetService::List() const { return FormatPresetList(store_.List()); }

std::string PresetService::Save(const std::string& name) {
  if (!IsValidPresetName(name)) return "ERR invalid preset name: " + Shown(name);
  const ProcessorConfig config = engine_.CurrentConfig();
  std::string error;
  if (!store_.Save(name, config, error)) return "ERR " + error;
  Remember(name, config);
  return "OK preset saved " + name;
}

std::string PresetService::Load(const std::string& name) {
  const std::string refused = CheckStored(name);
  if (!refused.empty()) return refused;
  ProcessorConfig next;
  std::string error;
  if (!store_.Load(name, engine_.CurrentConfig(), next, error)) {
    return "ERR preset " + name + ": " + error;
  }
  if (!engine_.Reconfigure(next, error)) return "ERR preset " + name + ": " + error;
  Remember(name, next);

  // The configuration file keeps the engine's switch, whatever the record says.
  next.enabled = engine_.IsEnabled();
  std::string note;
  if (!provider_.Save(next, error)) note = " (not saved: " + error + ")";
  return "OK preset loaded " + name + note;
}

std::string PresetService::Delete(const std::string& name) {
  const std::string refused = CheckStored(name);
  if (!refused.empty()) return refused;
  for (const auto& [device, bound] : bindings_.devices) {
    if (bound == name) return "ERR preset " + name + " is bound to " + device;
  }
  if (bindings_.fallback == name) return "ERR preset " + name + " is bound to the fallback";
  std::string error;
  if (!store_.Remove(name, error)) return "ERR " + error;
  if (current_name_ == name) current_name_.clear();
  return "OK preset deleted " + name;
}

std::string PresetService::Bind(const std::string& device, const std::string& name) {
  std::string error;
  if (!IsSafeDeviceName(device, error)) {
    return "ERR invalid device name: " + Shown(device);
  }
  const std::string refused = CheckStored(name);
  if (!refused.empty()) return refused;
  DeviceBindings next = bindings_;
  next.devices[device] = name;
  if (FormatBindingList(next).size() > kMaxReplyBytes) return "ERR too many bindings";
  const std::string failed = Commit(next);
  if (!failed.empty()) return failed;
  return "OK preset bound " + device + "=" + name;
}

std::string PresetService::Unbind(const std::string& device) {
  DeviceBindings next = bindings_;
  if (next.devices.erase(device) == 0) return "ERR no binding for device: " + Shown(device);
  const std::string failed = Commit(next);
  if (!failed.empty()) return failed;
  return "OK preset unbound " + device;
}

std::string PresetService::Fallback(const std::string& name) {
  DeviceBindings next = bindings_;
  if (name == preset_verb::kNone) {
    next.fallback.clear();
  } else {
    const std::string refused = CheckStored(name);
    if (!refused.empty()) return refused;
    next.fallback = name;
  }
  const std::string failed = Commit(next);
  if (!failed.empty()) return failed;
  return "OK preset fallback " + name;
}

std::string PresetService::ListBindings() const { return FormatBindingList(bindings_); }

std::string PresetService::CheckStored(const std::string& name) const {
  if (!IsValidPresetName(name)) return "ERR invalid preset name: " + Shown(name);
  if (!store_.Exists(name)) return "ERR no such preset: " + name;
  return "";
}

std::string PresetService::Commit(const DeviceBindings& next) {
  // Writing over a file that did not load would lose the user's bindings.
  if (!unreadable_.empty()) return "ERR " + unreadable_ + " (fix or remove it first)";
  std::string error;
  if (!SaveBindingsFile(bindings_path_, next, error)) return "ERR " + error;
  bindings_ = next;
  return "";
}

void PresetService::Remember(const std::string& name, const ProcessorConfig& config) {
  current_name_ = name;
  current_text_ = PresetToJson(config);
}

}  // namespace halvex
