#include "core/ipc/socket_io.h"

#include <cerrno>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace halvex {

std::string ReadLine(int fd, size_t max) {
  ReadEnd end;
  return ReadLine(fd, max, end);
}

std::string ReadLine(int fd, size_t max, ReadEnd& end) {
  std::string line;
  while (line.size() < max) {
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n == 0) {
      end = ReadEnd::kEndOfFile;
      return line;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      end = (errno == EAGAIN || errno == EWOULDBLOCK) ? ReadEnd::kTimedOut : ReadEnd::kError;
      return line;
    }
    if (c == '\n') {
      end = ReadEnd::kNewline;
      return line;
    }
    line.push_back(c);
  }
  end = ReadEnd::kLimit;
  return line;
}

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  bool use_send = true;
  while (done < data.size()) {
    ssize_t n;
    if (use_send) {
      // MSG_NOSIGNAL: a client that hung up must not kill the writer with SIGPIPE.
      n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) {
        use_send = false;  // a pipe or file in a test: plain write
        continue;
      }
    } else {
      n = ::write(fd, data.data() + done, data.size() - done);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void SetSocketTimeouts(int fd, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace halvex
