#include "core/ipc/peer_user.h"

#include <pwd.h>
#include <sys/socket.h>

namespace halvex {

bool PeerUid(int fd, uid_t& uid) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  uid = cred.uid;
  return true;
}

std::string DescribeUser(uid_t uid) {
  const std::string id = "uid " + std::to_string(uid);
  passwd entry{};
  passwd* found = nullptr;
  char buffer[1024];
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return id;
  return std::string(found->pw_name) + " (" + id + ")";
}

}  // namespace halvex
