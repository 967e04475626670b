// The control socket: a listening UNIX socket and the thread that serves one connection at a time.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "daemon/control_service.h"
#include "daemon/unique_fd.h"

namespace halvex {

class SocketServer {
 public:
  // Longest command line read from a client, in bytes; the rest of a longer line is left unread.
  static constexpr size_t kMaxLineBytes = 4096;
  // Longest an accepted connection may take to deliver its command (and the send and receive
  // time-out of each socket operation), so a silent or trickling client cannot hold the thread.
  static constexpr int kClientTimeoutMs = 2000;

  SocketServer(std::string path, ControlService& service);
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Binds, listens (socket file mode 0600) and starts the server thread. Refuses, without touching
  // the socket file, when a live server already answers at the path (see InUse).
  bool Start();
  // Idempotent: wakes and joins the thread, closes everything and removes the socket file.
  void Stop();
  // The last Start failed because another server is listening at the path.
  bool InUse() const { return in_use_; }
  // Why the last Start failed: what failed and, where the system said, its reason.
  const std::string& LastError() const { return error_; }

 private:
  void Run();
  void HandleConnection();

  bool Fail(const char* what, int error_number);

  std::string path_;
  ControlService& service_;
  UniqueFd listen_fd_;
  UniqueFd wake_read_fd_;
  UniqueFd wake_write_fd_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  bool in_use_ = false;
  std::string error_;
};

}  // namespace halvex
