// The control socket: a listening UNIX socket and the thread that serves its connections, several at
// once, so a client that is idle or slow never delays another client's exchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "daemon/control_service.h"
#include "daemon/line_collector.h"
#include "daemon/unique_fd.h"

namespace halvex {

class SocketServer {
 public:
  // Longest command line taken from a client, in bytes without its line end; a longer one is
  // answered "ERR command line too long" and nothing of it is run.
  static constexpr size_t kMaxLineBytes = 4096;
  // Longest an accepted connection may take to deliver its command, so a silent or trickling
  // client cannot hold a connection slot for ever.
  static constexpr int kClientTimeoutMs = 2000;
  // Connections served at once; one more is answered "ERR busy" and closed at once.
  static constexpr size_t kMaxClients = 32;

  SocketServer(std::string path, ControlService& service);
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Binds, listens (socket file mode 0600) and starts the server thread. Refuses, without touching
  // what is at the path, when a live server already answers there (see InUse), when another user
  // owns it, or when it is not a socket; only our own stale socket is removed.
  bool Start();
  // Idempotent: wakes and joins the thread, closes everything and removes the socket file.
  void Stop();
  // The last Start failed because another server is listening at the path.
  bool InUse() const { return in_use_; }
  // Why the last Start failed: what failed and, where the system said, its reason.
  const std::string& LastError() const { return error_; }

 private:
  // One accepted connection and what it has sent so far.
  struct Client {
    UniqueFd fd;
    LineCollector line{kMaxLineBytes};
    int64_t deadline_ms = 0;
  };

  void Run();
  void Accept();
  // Reads what has arrived; false once the connection is finished with (answered or dropped).
  bool Serve(Client& client);
  void Answer(const Client& client, const std::string& line);

  bool Fail(const std::string& what, int error_number);

  std::string path_;
  ControlService& service_;
  UniqueFd listen_fd_;
  UniqueFd wake_read_fd_;
  UniqueFd wake_write_fd_;
  std::vector<Client> clients_;  // server thread only
  std::thread thread_;
  std::atomic<bool> running_{false};
  bool in_use_ = false;
  std::string error_;
};

}  // namespace halvex
