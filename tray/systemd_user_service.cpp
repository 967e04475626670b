#include "tray/systemd_user_service.h"

#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace halvex {
namespace {

constexpr int kNotExecutable = 127;

void ReapLate(GPid, gint, gpointer) {}  // GLib has reaped the child by the time this runs

}  // namespace

std::string FindOnPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char* path = std::getenv("PATH");
  const std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t end = dirs.find(':', start);
    std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

bool SystemdUserService::RunOn(const char* verb, const std::string& unit, std::string& error) {
  const std::string command = std::string("systemctl --user ") + verb + " " + unit;
  // The search happens here: between fork and exec the child may only make async-signal-safe calls.
  const std::string program = FindOnPath("systemctl");
  if (program.empty()) {
    error = "systemctl not found";
    return false;
  }
  const char* argv[] = {program.c_str(), "--user", verb, unit.c_str(), nullptr};

  const pid_t pid = fork();
  if (pid < 0) {
    error = "cannot start systemctl";
    return false;
  }
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(argv[0], const_cast<char* const*>(argv));
    _exit(kNotExecutable);
  }

  // Polled against the clock rather than counted, so a loaded machine still waits 5 s, not more.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(kPollMs * kPolls);
  int raw = 0;
  pid_t done = 0;
  for (;;) {
    do {
      done = waitpid(pid, &raw, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done != 0 || std::chrono::steady_clock::now() >= deadline) break;
    usleep(kPollMs * 1000);
  }
  if (done == 0) {
    g_child_watch_add(pid, ReapLate, nullptr);
    error = command + " did not finish in time";
    return false;
  }
  if (done == pid && WIFEXITED(raw) && WEXITSTATUS(raw) == 0) return true;
  if (done == pid && WIFEXITED(raw) && WEXITSTATUS(raw) == kNotExecutable) {
    error = "systemctl not found";
    return false;
  }
  error = command + " failed (is the unit installed?)";
  return false;
}

std::unique_ptr<ServiceControl> MakeSystemdUserService(std::string unit) {
  return std::make_unique<SystemdUserService>(std::move(unit));
}

}  // namespace halvex
