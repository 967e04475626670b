#include "daemon/socket_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

#include "core/ipc/socket_io.h"

namespace halvex {
namespace {

bool MakeAddress(const std::string& path, sockaddr_un& addr) {
  addr = sockaddr_un{};
  if (path.size() >= sizeof(addr.sun_path)) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

// A socket file that accepts a connection belongs to a running server; a refused connect means
// a stale file left by a process that is gone.
bool SomeoneListens(const sockaddr_un& addr) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Bounds a connect that waits on a full backlog.
  SetSocketTimeouts(fd, 1000);
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  // EAGAIN: the listener's backlog is full, which still means it is alive.
  const bool alive = rc == 0 || errno == EAGAIN;
  ::close(fd);
  return alive;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits until a whole command is queued on the connection (a line end, end of file, or as many
// bytes as are read) or the budget is spent. A per-read time-out alone would let a client that
// sends a byte now and then hold the serving thread for hours; this bounds the whole exchange.
bool WaitForCommand(int fd, size_t max_bytes, int budget_ms) {
  const int64_t deadline = NowMs() + budget_ms;
  std::string peek(max_bytes, '\0');
  for (;;) {
    const ssize_t n = ::recv(fd, peek.data(), peek.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return true;  // the peer finished sending
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
    if (n > 0 && (static_cast<size_t>(n) == max_bytes ||
                  std::memchr(peek.data(), '\n', static_cast<size_t>(n)) != nullptr)) {
      return true;
    }
    const int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    if (n > 0) {
      // Part of a line is queued, so the socket stays readable and poll would not wait; only a
      // hang-up is worth polling for.
      pollfd pfd{fd, POLLRDHUP, 0};
      if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP)) != 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(left, 5)));
    } else {
      pollfd pfd{fd, POLLIN, 0};
      ::poll(&pfd, 1, static_cast<int>(left));
    }
  }
}

bool SameUser(int fd) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  return cred.uid == ::geteuid();
}

}  // namespace

SocketServer::SocketServer(std::string path, ControlService& service)
    : path_(std::move(path)), service_(service) {}

SocketServer::~SocketServer() { Stop(); }

bool SocketServer::Fail(const char* what, int error_number) {
  error_ = what;
  if (error_number != 0) error_ += std::string(": ") + std::strerror(error_number);
  return false;
}

bool SocketServer::Start() {
  in_use_ = false;
  error_.clear();
  if (running_.load()) return Fail("already running", 0);
  sockaddr_un addr;
  if (!MakeAddress(path_, addr)) return Fail("path too long for a socket address", 0);

  if (SomeoneListens(addr)) {
    in_use_ = true;
    return Fail("another server listens at the path", 0);
  }
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return Fail("socket", errno);

  ::unlink(path_.c_str());
  // No client can connect between bind and listen, so narrowing the mode here leaves no window.
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return Fail("bind", errno);
  }
  if (::chmod(path_.c_str(), 0600) != 0 || ::listen(listener.get(), 4) != 0) {
    const int error_number = errno;
    ::unlink(path_.c_str());
    return Fail("listen", error_number);
  }

  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    const int error_number = errno;
    ::unlink(path_.c_str());
    return Fail("wake pipe", error_number);
  }
  listen_fd_ = std::move(listener);
  wake_read_fd_.Reset(pipe_fds[0]);
  wake_write_fd_.Reset(pipe_fds[1]);

  running_.store(true);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    running_.store(false);
    listen_fd_.Reset();
    wake_read_fd_.Reset();
    wake_write_fd_.Reset();
    ::unlink(path_.c_str());
    return Fail("server thread", e.code().value());
  }
  return true;
}

void SocketServer::Stop() {
  if (!running_.exchange(false)) return;
  const char byte = 1;
  while (::write(wake_write_fd_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  if (thread_.joinable()) thread_.join();
  listen_fd_.Reset();
  wake_read_fd_.Reset();
  wake_write_fd_.Reset();
  ::unlink(path_.c_str());
}

void SocketServer::Run() {
  while (running_.load()) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_fd_.get(), POLLIN, 0}};
    const int rc = ::poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents & POLLIN) HandleConnection();
    else if (fds[0].revents != 0) return;  // the listening socket itself failed
  }
}

void SocketServer::HandleConnection() {
  const UniqueFd connection(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!connection.valid()) return;
  const int fd = connection.get();
  SetSocketTimeouts(fd, kClientTimeoutMs);
  if (!SameUser(fd)) {
    WriteAll(fd, "ERR permission denied\n");
    return;
  }
  // A client that has not sent a whole command within the time-out gets no reply and changes
  // nothing: half a command must never be executed.
  if (!WaitForCommand(fd, kMaxLineBytes, kClientTimeoutMs)) return;
  ReadEnd end;
  const std::string line = ReadLine(fd, kMaxLineBytes, end);
  if (end != ReadEnd::kTimedOut && end != ReadEnd::kError) {
    WriteAll(fd, service_.Handle(line) + "\n");
  }
}

}  // namespace halvex
