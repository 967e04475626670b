#include "core/config/safe_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace halvex {

namespace {

bool Fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  return path.substr(0, slash);
}

bool WriteWhole(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// Makes a completed rename durable. Best effort: by now the new file is in
// place, so a failure here cannot be reported as "the file is as it was".
void SyncDirectoryOf(const std::string& path) {
  std::string dir = ParentDirectory(path);
  if (dir.empty()) dir = path.rfind('/') == 0 ? "/" : ".";
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& text) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return false;
  const std::streamoff size = file.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > max_bytes) return false;
  text.resize(static_cast<std::size_t>(size));
  file.seekg(0);
  file.read(text.data(), size);
  return !file.bad() && static_cast<std::size_t>(file.gcount()) == text.size();
}

bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  const std::string parent = ParentDirectory(path);
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    std::error_code ignored;
    if (ec && !std::filesystem::is_directory(parent, ignored)) {
      return Fail(error, "cannot create " + parent + ": " + ec.message());
    }
  }

  const std::string temp = path + ".tmp";
  if (path.empty()) return Fail(error, "cannot write " + temp);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(error, "cannot write " + temp);
  // The data must be on disk before the rename can publish it.
  const bool written = WriteWhole(fd, text) && ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!written || !closed) {
    ::unlink(temp.c_str());
    return Fail(error, "write failed: " + temp);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return Fail(error, "cannot replace " + path);
  }
  SyncDirectoryOf(path);
  return true;
}

}  // namespace halvex
