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

#include "core/ipc/peer_user.h"
#include "core/ipc/socket_io.h"

namespace halvex {
namespace {

constexpr int kListenBacklog = 64;

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

bool SameUser(int fd) {
  uid_t uid = 0;
  return PeerUid(fd, uid) && uid == ::geteuid();
}

// A peer that has shut both directions (closed, gave up waiting) can no longer read a reply, so
// its command is not run: the user was already told it failed.
bool PeerGone(int fd) {
  pollfd pfd{fd, 0, 0};
  return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP) != 0;
}

}  // namespace

SocketServer::SocketServer(std::string path, ControlService& service)
    : path_(std::move(path)), service_(service) {}

SocketServer::~SocketServer() { Stop(); }

bool SocketServer::Fail(const std::string& what, int error_number) {
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

  // In a shared folder (the /tmp fallback) whatever is at the path may be another user's: it is
  // never connected to, used or removed. Only our own stale socket is replaced.
  struct stat existing {};
  const bool exists = ::lstat(path_.c_str(), &existing) == 0;
  if (exists && existing.st_uid != ::geteuid()) {
    return Fail("owned by another user: " + DescribeUser(existing.st_uid), 0);
  }
  if (exists && !S_ISSOCK(existing.st_mode)) return Fail("not a socket: " + path_, 0);
  if (exists && SomeoneListens(addr)) {
    in_use_ = true;
    return Fail("another server listens at the path", 0);
  }
  UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener.valid()) return Fail("socket", errno);

  if (exists) ::unlink(path_.c_str());
  // No client can connect between bind and listen, so narrowing the mode here leaves no window.
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return Fail("bind", errno);
  }
  if (::chmod(path_.c_str(), 0600) != 0 || ::listen(listener.get(), kListenBacklog) != 0) {
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
  clients_.clear();
  listen_fd_.Reset();
  wake_read_fd_.Reset();
  wake_write_fd_.Reset();
  ::unlink(path_.c_str());
}

void SocketServer::Run() {
  std::vector<pollfd> fds;
  while (running_.load()) {
    fds.clear();
    fds.push_back({listen_fd_.get(), POLLIN, 0});
    fds.push_back({wake_read_fd_.get(), POLLIN, 0});
    int64_t next_deadline = -1;
    for (const Client& client : clients_) {
      fds.push_back({client.fd.get(), POLLIN | POLLRDHUP, 0});
      if (next_deadline < 0 || client.deadline_ms < next_deadline) next_deadline = client.deadline_ms;
    }
    const int wait_ms =
        next_deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next_deadline - NowMs()));
    const int rc = ::poll(fds.data(), fds.size(), wait_ms);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;

    // Clients first, by the indices the poll saw; then the deadlines; then new connections.
    const int64_t now = NowMs();
    std::vector<Client> kept;
    kept.reserve(clients_.size());
    for (size_t i = 0; i < clients_.size(); ++i) {
      Client& client = clients_[i];
      if (fds[i + 2].revents != 0 && !Serve(client)) continue;
      // A client that has not sent a whole command in time gets no reply and changes nothing.
      if (now >= client.deadline_ms) continue;
      kept.push_back(std::move(client));
    }
    clients_ = std::move(kept);

    if (fds[0].revents & POLLIN) Accept();
    else if (fds[0].revents != 0) return;  // the listening socket itself failed
  }
}

void SocketServer::Accept() {
  UniqueFd connection(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!connection.valid()) return;
  const int fd = connection.get();
  if (!SameUser(fd)) {
    WriteAll(fd, "ERR permission denied\n");
    return;
  }
  if (clients_.size() >= kMaxClients) {
    WriteAll(fd, "ERR busy\n");
    return;
  }
  Client client;
  client.fd = std::move(connection);
  client.deadline_ms = NowMs() + kClientTimeoutMs;
  clients_.push_back(std::move(client));
}

bool SocketServer::Serve(Client& client) {
  const int fd = client.fd.get();
  char buffer[kMaxLineBytes + 1];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, client.line.Room(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;  // else: a broken connection
    const LineCollector::State state =
        n == 0 ? client.line.End() : client.line.Add(buffer, static_cast<size_t>(n));
    if (state == LineCollector::State::kComplete) {
      Answer(client, client.line.line());
      return false;
    }
    if (state == LineCollector::State::kTooLong) {
      WriteAll(fd, "ERR command line too long\n");
      return false;
    }
  }
}

void SocketServer::Answer(const Client& client, const std::string& line) {
  const int fd = client.fd.get();
  if (PeerGone(fd)) return;
  // A reply is far smaller than the socket's buffer, so this non-blocking write goes out whole.
  WriteAll(fd, service_.Handle(line) + "\n");
}

}  // namespace halvex
