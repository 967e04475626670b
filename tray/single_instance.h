// One tray per user: a pid file naming the running instance, which a newer one replaces.
#pragma once

#include <sys/types.h>

#include <string>

namespace halvex {

class SingleInstance {
 public:
  // How long a replaced instance is given to end after SIGTERM before it gets SIGKILL.
  static constexpr int kGraceMs = 1500;

  // `name` is the process name (/proc/PID/comm) a running instance has.
  SingleInstance(std::string path, std::string name);
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Ends the instance the pid file names (when it is one: a live process of that name) and writes
  // this process's pid. Returns the pid of the instance it ended, 0 when there was none. A file
  // whose instance could not be ended is left as it is.
  pid_t Claim();
  bool owned() const { return owned_; }

 private:
  bool WriteOwnPid();

  std::string path_;
  std::string name_;
  bool owned_ = false;
};

// $XDG_RUNTIME_DIR/halvex-tray.pid, or /tmp/halvex-tray.pid without XDG_RUNTIME_DIR.
std::string DefaultInstancePath();

}  // namespace halvex
