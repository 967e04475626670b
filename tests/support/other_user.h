// Acting as a second local account (nobody) inside a test, the way a hostile user on the same
// machine would. Only root can switch users; tests skip where that is not possible.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace halvex::test {

constexpr uid_t kNobody = 65534;

inline bool CanActAsAnotherUser() { return ::geteuid() == 0; }

// Runs `action` in a forked child as nobody; true when it returned true there. The child does only
// what `action` does and leaves with _exit, so nothing of the test's own state runs twice.
template <typename Action>
bool AsNobody(Action action) {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    const bool ok = ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
                    action();
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A fresh folder anyone may add to but only owners may remove from, like /tmp.
inline std::string MakeStickyFolder() {
  char name[] = "/tmp/halvex-shared-XXXXXX";
  if (::mkdtemp(name) == nullptr || ::chmod(name, 01777) != 0) return "";
  return name;
}

inline void RemoveFolder(const std::string& folder) {
  if (!folder.empty()) std::system(("rm -rf '" + folder + "'").c_str());
}

}  // namespace halvex::test
