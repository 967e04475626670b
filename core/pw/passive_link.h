// A link between two ports that the program creating it owns.
#pragma once

#include <cstdint>

#include "core/pw/pw_handles.h"

namespace halvex {

// Asks the server for a passive link from `output_port` to `input_port` (global port ids). A
// passive link carries data only while something else keeps the graph running, so neither the
// engine's own links nor a listener's hold an idle graph awake; it goes when the proxy does.
// Null when the request could not be made, with errno saying why.
PwProxyPtr<pw_proxy> CreatePassiveLink(pw_core* core, uint32_t output_port, uint32_t input_port);

}  // namespace halvex
