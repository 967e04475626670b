// The client side of the control protocol: one connection, one command line, one reply line.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

class SocketClient {
 public:
  // Longest reply accepted; the daemon's device list can exceed a 4096-byte line.
  static constexpr size_t kMaxReplyBytes = 1 << 20;
  // A daemon that neither answers nor closes is given up on after this long per socket operation.
  static constexpr int kTimeoutMs = 2000;

  // Sends line plus "\n" to the socket at socket_path and returns the reply without its line end.
  // Never throws for socket failures: each comes back as a reply that begins "ERR ". A server run
  // by another user (neither us nor root) is sent nothing.
  static std::string SendCommand(const std::string& socket_path, const std::string& line);
};

}  // namespace halvex
