// libFuzzer target for the configuration text reader: any input must give a
// clean accept or one message, and an accepted record must survive saving.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/config/config_params.h"
#include "core/config/config_validation.h"
#include "core/config/json_config.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  const std::string text(reinterpret_cast<const char*>(data), size);

  ProcessorConfig config = DefaultConfig();
  std::string error;
  if (!ParseConfigJson(text, config, error)) {
    Require(!error.empty());
    Require(config == DefaultConfig());
    return 0;
  }
  Require(ValidateConfig(config, error));

  // What Save writes must load again, unless six-decimal rounding broke one
  // of the two rules it can break (Save refuses those), and is stable after.
  ProcessorConfig first;
  if (ParseConfigJson(ConfigToJson(config), first, error)) {
    ProcessorConfig second;
    Require(ParseConfigJson(ConfigToJson(first), second, error));
    Require(second == first);
  } else {
    Require(error == "tap_multipliers must be strictly increasing in (0,10]" ||
            error == "a band's longest tap exceeds the 25 ms Haas zone");
  }

  // Every key reads back as text that its own accessor accepts.
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    std::string value;
    Require(ReadParamText(config, ParamKeyAt(i), value));
    ProcessorConfig copy = config;
    Require(ApplyParam(copy, ParamKeyAt(i), value, error));
  }
  return 0;
}
