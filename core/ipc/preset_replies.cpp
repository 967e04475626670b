#include "core/ipc/preset_replies.h"

#include <utility>

#include "core/ipc/control_replies.h"
#include "core/ipc/control_words.h"

namespace halvex {
namespace {

constexpr const char* kPresetsHead = "OK presets";
constexpr const char* kCurrentHead = "OK preset ";
constexpr const char* kBindingsHead = "OK bindings";
constexpr const char* kBypassHead = "OK bypass";
constexpr const char* kStreamsHead = "OK streams";
// The device of the fallback's entry in a bindings reply.
constexpr const char* kFallbackDevice = "*";

}  // namespace

std::string PresetState::BoundToActive() const {
  const auto bound = devices.find(active.name);
  if (!active.name.empty() && bound != devices.end()) return bound->second;
  return active.name.empty() ? std::string() : fallback;
}

std::string FormatPresetList(const std::vector<std::string>& names) {
  std::string reply = kPresetsHead;
  for (const std::string& name : names) {
    if (reply.size() + 1 + name.size() > kMaxReplyBytes) break;
    reply += "\t" + name;
  }
  return reply;
}

std::string FormatCurrentPreset(const std::string& name) {
  return kCurrentHead + (name.empty() ? std::string(preset_verb::kNone) : name);
}

std::string FormatBindingList(const DeviceBindings& bindings) {
  std::string reply = kBindingsHead;
  for (const auto& [device, name] : bindings.devices) reply += "\t" + device + "=" + name;
  if (!bindings.fallback.empty()) {
    reply += std::string("\t") + kFallbackDevice + "=" + bindings.fallback;
  }
  return reply;
}

std::string FormatBypassList(const std::vector<std::string>& apps) {
  std::string reply = kBypassHead;
  for (const std::string& app : apps) reply += "\t" + app;
  return reply;
}

std::string FormatStreamList(const std::vector<PlaybackStream>& streams) {
  std::string reply = kStreamsHead;
  for (const PlaybackStream& stream : streams) {
    std::string app = stream.app;
    for (char& c : app) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '|') c = ' ';
    }
    const std::string entry = "\t" + app + (stream.bypassed ? "|bypassed" : "|processed");
    if (reply.size() + entry.size() > kMaxReplyBytes) break;
    reply += entry;
  }
  return reply;
}

bool ParsePresetList(const std::string& line, PresetState& state) {
  std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0] != kPresetsHead) return false;
  pieces.erase(pieces.begin());
  state.names = std::move(pieces);
  return true;
}

bool ParseCurrentPreset(const std::string& line, PresetState& state) {
  const std::string head = kCurrentHead;
  if (line.rfind(head, 0) != 0 || line.find(' ', head.size()) != std::string::npos) return false;
  const std::string name = line.substr(head.size());
  state.current = name == preset_verb::kNone ? "" : name;
  return true;
}

bool ParseBindingList(const std::string& line, PresetState& state) {
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0] != kBindingsHead) return false;
  state.devices.clear();
  state.fallback.clear();
  for (size_t i = 1; i < pieces.size(); ++i) {
    // Preset names hold no '=', device names may.
    const size_t eq = pieces[i].rfind('=');
    if (eq == std::string::npos || eq == 0) continue;
    const std::string device = pieces[i].substr(0, eq);
    if (device == kFallbackDevice) {
      state.fallback = pieces[i].substr(eq + 1);
    } else {
      state.devices[device] = pieces[i].substr(eq + 1);
    }
  }
  return true;
}

}  // namespace halvex
