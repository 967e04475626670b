// A listening UNIX socket on a thread that plays the daemon's side of one exchange per connection.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ipc/socket_io.h"

namespace halvex::testing {

class FakeDaemon {
 public:
  enum class Mode { kReply, kCloseWithoutReply, kSilent };

  // Listens in a fresh temporary directory; the socket file is dir() + "/halvexd.sock".
  FakeDaemon(std::string reply, Mode mode = Mode::kReply) : reply_(std::move(reply)), mode_(mode) {
    char tmpl[] = "/tmp/halvex-fake-XXXXXX";
    dir_ = ::mkdtemp(tmpl);
    path_ = dir_ + "/halvexd.sock";
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    ok_ = listen_fd_ >= 0 && ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          ::listen(listen_fd_, 4) == 0;
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }

  ~FakeDaemon() {
    stop_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);  // wakes accept
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }

  bool ok() const { return ok_; }
  const std::string& dir() const { return dir_; }
  const std::string& path() const { return path_; }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  void Serve() {
    while (!stop_) {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      const std::string line = ReadLine(fd, 1 << 20);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
      }
      if (mode_ == Mode::kReply) WriteAll(fd, reply_);
      if (mode_ == Mode::kSilent) {
        // Hold the connection open until the client gives up and closes its end.
        char c;
        while (::read(fd, &c, 1) > 0) {
        }
      }
      ::close(fd);
    }
  }

  std::string reply_;
  Mode mode_;
  std::string dir_;
  std::string path_;
  int listen_fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace halvex::testing
