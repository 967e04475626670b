// Who is at the other end of a UNIX socket, or owns a file: both sides of the control socket
// check it, as the socket may sit in a folder other users can write to.
#pragma once

#include <sys/types.h>

#include <string>

namespace halvex {

// The user id of the process at the other end of a connected UNIX socket; false when unknown.
bool PeerUid(int fd, uid_t& uid);

// "name (uid N)", or "uid N" for an id without a name, for messages.
std::string DescribeUser(uid_t uid);

}  // namespace halvex
