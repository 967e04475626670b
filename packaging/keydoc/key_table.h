// The settable keys as a user reads them: kind, default, accepted values. Every figure comes
// from the configuration library's key table, which the validator also reads, so
// documentation made from it follows the code.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/config/config_params.h"

namespace halvex {

struct KeyDoc {
  std::string key;
  ParamKind kind = ParamKind::Float;
  std::string default_text;          // as `status` shows it for the default configuration
  std::optional<float> low, high;    // Float keys: the closed range the validator accepts
  std::vector<std::string> choices;  // Choice and Flag keys: accepted words, in choice order
};

// One row per key, in table order.
std::vector<KeyDoc> DescribeSettableKeys();

}  // namespace halvex
