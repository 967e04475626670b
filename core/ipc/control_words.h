// The command words of the control protocol, written once for the daemon that reads them, the
// clients that send them and the shell completion that offers them.
#pragma once

#include <string_view>

namespace halvex {

namespace command {
inline constexpr std::string_view kStatus = "status", kDevices = "devices", kOn = "on",
                                  kOff = "off", kEnable = "enable", kDisable = "disable",
                                  kReload = "reload", kSet = "set", kLatency = "latency",
                                  kPreset = "preset", kBypass = "bypass", kStreams = "streams";
}  // namespace command

// The second word of "preset ..."; "preset fallback none" clears the fallback.
namespace preset_verb {
inline constexpr std::string_view kList = "list", kSave = "save", kLoad = "load",
                                  kDelete = "delete", kBind = "bind", kUnbind = "unbind",
                                  kFallback = "fallback", kBindings = "bindings", kNone = "none";
}  // namespace preset_verb

// The second word of "bypass ...".
namespace bypass_verb {
inline constexpr std::string_view kAdd = "add", kRemove = "remove", kList = "list";
}  // namespace bypass_verb

struct ControlCommand {
  std::string_view word;
  bool takes_words;  // further words follow it on the line
};

// Every command, in the order help and completion offer them.
inline constexpr ControlCommand kControlCommands[] = {
    {command::kStatus, false},  {command::kDevices, false}, {command::kOn, false},
    {command::kOff, false},     {command::kEnable, false},  {command::kDisable, false},
    {command::kReload, false},  {command::kSet, true},      {command::kLatency, false},
    {command::kPreset, true},   {command::kBypass, true},   {command::kStreams, false},
};

inline constexpr std::string_view kPresetVerbs[] = {
    preset_verb::kList,   preset_verb::kSave,     preset_verb::kLoad,
    preset_verb::kDelete, preset_verb::kBind,     preset_verb::kUnbind,
    preset_verb::kFallback, preset_verb::kBindings,
};

inline constexpr std::string_view kBypassVerbs[] = {bypass_verb::kAdd, bypass_verb::kRemove,
                                                    bypass_verb::kList};

// True when `word` is one of kControlCommands.
bool IsControlCommand(std::string_view word);

}  // namespace halvex
