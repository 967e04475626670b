// The one description of every configuration key: its name, the field it binds, how its value
// is held and written, and what the validator demands of it. The file reader and writer, the
// validator, the settable-key accessors, the key documentation and the tray's controls all read
// this table, so a key is named in one place.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/config/config_defaults.h"

namespace halvex {

// How the value is held, written to the file and shown as protocol text.
enum class KeyType : int {
  kFloat,      // float; a number in the file, FormatNumber on the protocol
  kInteger,    // int32; an integer in the file, not settable
  kFrames,     // int32 frame count; whole decimal digits on the protocol
  kFlag,       // bool; true/false in the file, 1/0 on the protocol
  kAlgorithm,  // SpatialAlgorithm by name
  kTarget,     // RenderTarget by name
  kChannel,    // int32 stored as 1 = left, written "L" or "R"
  kDevice,     // string; "auto" on the protocol is the empty name
  kTaps,       // four floats, an array in the file
  kBands,      // the band table, an array of objects in the file
};

// What ValidateConfig demands of the value.
enum class KeyRule : int {
  kNone,
  kRange,        // lo <= value <= hi
  kPowerOfTwo,   // at least 1
  kQuantum,      // IsValidQuantum
  kSafeName,     // IsSafeDeviceName
  kRisingTaps,   // strictly increasing within (0, hi]
  kEachInRange,  // every element within [lo, hi]
  kBands,        // delays, longest taps and frequencies row by row
};

using KeyField =
    std::variant<float ProcessorConfig::*, int32_t ProcessorConfig::*, bool ProcessorConfig::*,
                 SpatialAlgorithm ProcessorConfig::*, RenderTarget ProcessorConfig::*,
                 std::string ProcessorConfig::*, std::array<float, 4> ProcessorConfig::*,
                 std::vector<BandParam> ProcessorConfig::*>;

struct ConfigKey {
  const char* name;
  KeyType type;
  KeyField field;
  bool settable;  // changeable by name at run time (set, status, the tray)
  int read;       // place in the order the file is read; a failing file reports the first key
  KeyRule rule;
  int check;      // place among the validator's rules, which report only the first failure
  float lo;
  float hi;
  // Appended to the range message, after the bracket (" ms").
  const char* message_unit;
  // Keys that share one range message, which names them all joined by '/'.
  bool shared_message;
};

// The member `key` binds, as the type its KeyType holds.
template <typename T>
T ProcessorConfig::*MemberOf(const ConfigKey& key) {
  return std::get<T ProcessorConfig::*>(key.field);
}

// Every key, settable ones first in their public order (the status reply, the key list).
std::span<const ConfigKey> ConfigKeys();

// Exact, case-sensitive; null for an unknown name.
const ConfigKey* FindConfigKey(std::string_view name);

// The first key of `type` (the device key for the device-name messages).
const ConfigKey& KeyOfType(KeyType type);

// The name of the key that binds `field`, for code that names one key on purpose.
const char* KeyName(KeyField field);

// Keys in the order of `read` or of `check` (keys without a rule left out).
std::vector<const ConfigKey*> KeysInReadOrder();
std::vector<const ConfigKey*> KeysInCheckOrder();

// Words a choice or flag key accepts, in the order of the number the accessor reports;
// empty for other types.
std::vector<std::string> ChoiceWords(const ConfigKey& key);

// "name out of [lo,hi]unit", or the shared message of the keys that share one.
std::string RangeMessage(const ConfigKey& key);

}  // namespace halvex
