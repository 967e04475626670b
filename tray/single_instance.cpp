#include "tray/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace halvex {
namespace {

pid_t ReadPid(const std::string& path) {
  std::ifstream in(path);
  long pid = 0;
  if (!(in >> pid) || pid <= 0 || pid > 0x3fffffff) return 0;
  return static_cast<pid_t>(pid);
}

std::string ReadComm(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string line;
  std::getline(in, line);
  return line;
}

// A process held by a pidfd, so that a signal can only reach the process that was checked, never
// a stranger that inherited its pid. Exited processes (zombies included) count as gone.
class Process {
 public:
  explicit Process(pid_t pid)
      : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  ~Process() {
    if (fd_ >= 0) close(fd_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Alive() const { return fd_ >= 0 && !WaitGone(0); }
  bool Signal(int sig) const {
    return fd_ >= 0 && syscall(SYS_pidfd_send_signal, fd_, sig, nullptr, 0) == 0;
  }
  // True once the process has ended, waiting at most `ms`.
  bool WaitGone(int ms) const {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
      rc = poll(&p, 1, ms);
    } while (rc < 0 && errno == EINTR);
    return rc != 0;
  }

 private:
  int fd_;
};

}  // namespace

SingleInstance::SingleInstance(std::string path, std::string name)
    : path_(std::move(path)), name_(std::move(name)) {}

SingleInstance::~SingleInstance() {
  if (owned_ && ReadPid(path_) == getpid()) unlink(path_.c_str());
}

pid_t SingleInstance::Claim() {
  const pid_t old = ReadPid(path_);
  if (old == 0 || old == getpid()) return WriteOwnPid(), 0;
  const Process process(old);
  // The name is read while the pidfd pins the process; if it is still alive afterwards, the name
  // was its own and not that of a process that took the pid over in between.
  const std::string comm = ReadComm(old);
  if (!process.Alive() || comm != name_) return WriteOwnPid(), 0;

  process.Signal(SIGTERM);
  if (!process.WaitGone(kGraceMs)) {
    process.Signal(SIGKILL);
    if (!process.WaitGone(kGraceMs)) return 0;  // still there: it keeps its pid file
  }
  WriteOwnPid();
  return old;
}

bool SingleInstance::WriteOwnPid() {
  // Written beside the file and renamed over it, so a reader never sees a partial pid.
  const std::string pid = std::to_string(getpid());
  const std::string temp = path_ + "." + pid + ".tmp";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const std::string text = pid + "\n";
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), path_.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  owned_ = true;
  return true;
}

std::string DefaultInstancePath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') return std::string(runtime) + "/halvex-tray.pid";
  return "/tmp/halvex-tray.pid";
}

}  // namespace halvex
