// The runtime-settable configuration keys: one accessor per key that reads a
// field as text or number and sets it from text.
#pragma once

#include <cstddef>
#include <string>

#include "core/config/config_defaults.h"

namespace halvex {

// Which widget suits a key: a switch for Flag, a drop-down for Choice, a
// slider otherwise.
enum class ParamKind : int32_t {
  Float = 0,
  Flag = 1,
  Choice = 2,
  Device = 3,
};

// Binds one key to one field of ProcessorConfig. Stateless apart from that
// binding; Apply never range-checks and leaves the field alone on failure.
class ParamAccessor {
 public:
  virtual ~ParamAccessor() = default;
  virtual bool Apply(ProcessorConfig& config, const std::string& text,
                     std::string& error) const = 0;
  virtual std::string Text(const ProcessorConfig& config) const = 0;
  virtual float Number(const ProcessorConfig& config) const = 0;
  virtual ParamKind Kind() const = 0;
};

// Exact, case-sensitive lookup; null for an unknown key.
const ParamAccessor* FindParam(const std::string& key);

// Sets one field from text; "unknown key: <key>" leaves `config` alone.
bool ApplyParam(ProcessorConfig& config, const std::string& key, const std::string& value,
                std::string& error);

// False for an unknown key, with `out` untouched.
bool ReadParamText(const ProcessorConfig& config, const std::string& key, std::string& out);
bool ReadParamNumber(const ProcessorConfig& config, const std::string& key, float& out);

// Keys in their fixed table order; an index past the end gives "".
std::size_t ParamKeyCount();
const char* ParamKeyAt(std::size_t index);

}  // namespace halvex
