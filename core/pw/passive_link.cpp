#include "core/pw/passive_link.h"

#include <cerrno>
#include <string>

namespace halvex {

PwProxyPtr<pw_proxy> CreatePassiveLink(pw_core* core, uint32_t output_port, uint32_t input_port) {
  const std::string out_text = std::to_string(output_port);
  const std::string in_text = std::to_string(input_port);
  const PwPropertiesPtr props(pw_properties_new(
      PW_KEY_LINK_OUTPUT_PORT, out_text.c_str(), PW_KEY_LINK_INPUT_PORT, in_text.c_str(),
      PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE, "true", nullptr));
  if (!props) return nullptr;
  PwProxyPtr<pw_proxy> proxy(static_cast<pw_proxy*>(pw_core_create_object(
      core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0)));
  return proxy;
}

}  // namespace halvex
