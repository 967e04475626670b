#include "core/ipc/socket_path.h"

#include <cstdlib>

namespace halvex {

std::string DefaultSocketPath() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir != nullptr && dir[0] != '\0') return std::string(dir) + "/halvexd.sock";
  return "/tmp/halvexd.sock";
}

}  // namespace halvex
