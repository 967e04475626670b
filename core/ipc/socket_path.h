// Where the daemon's control socket lives.
#pragma once

#include <string>

namespace halvex {

// $XDG_RUNTIME_DIR/halvexd.sock when that variable is set and not empty, else /tmp/halvexd.sock.
// The directory is neither checked nor created.
std::string DefaultSocketPath();

}  // namespace halvex
