#include "core/ipc/socket_client.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/ipc/peer_user.h"
#include "core/ipc/socket_io.h"

namespace halvex {
namespace {

constexpr const char* kTimedOut = "ERR no reply from halvexd (timed out)";

// Closes the descriptor on every return path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string SocketClient::SendCommand(const std::string& socket_path, const std::string& line) {
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return "ERR socket() failed";

  sockaddr_un addr{};
  if (socket_path.size() > sizeof(addr.sun_path) - 1) return "ERR socket path too long";
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());

  // The send time-out also bounds a connect that waits on a full backlog.
  SetSocketTimeouts(fd.get(), kTimeoutMs);
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    if (errno == EAGAIN || errno == ETIMEDOUT) return kTimedOut;
    return "ERR cannot reach halvexd (is it running? " + socket_path + ")";
  }

  // Another user's server (say, one that took the shared /tmp fallback first) must never see our
  // commands nor have its reply believed. Root may serve anyone.
  uid_t server = 0;
  if (!PeerUid(fd.get(), server)) return "ERR cannot tell who runs " + socket_path;
  if (server != ::geteuid() && server != 0) {
    return "ERR control socket " + socket_path + " belongs to another user: " + DescribeUser(server);
  }

  // A failed write is not reported by itself: the reply read next is then empty.
  WriteAll(fd.get(), line + "\n");

  ReadEnd end;
  std::string reply = ReadLine(fd.get(), kMaxReplyBytes, end);
  // A partial line cut by the time-out is not a reply; it might even begin with "OK".
  if (end == ReadEnd::kTimedOut) return kTimedOut;
  return reply;
}

}  // namespace halvex
