#include "core/config/safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "core/config/fail.h"

namespace halvex {

namespace {

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

SmallFileRead ReadSmallFileChecked(const std::string& path, std::size_t max_bytes, std::string& text) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return SmallFileRead::kCannotOpen;
  struct stat st {};
  SmallFileRead result = SmallFileRead::kOk;
  if (::fstat(fd, &st) != 0) {
    result = SmallFileRead::kReadFailed;
  } else if (S_ISDIR(st.st_mode)) {
    result = SmallFileRead::kCannotOpen;
  } else if (!S_ISREG(st.st_mode)) {
    result = SmallFileRead::kNotRegular;
  } else if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    result = SmallFileRead::kTooLarge;
  } else {
    // Read to the end rather than trusting the size: the file may change under us, and one
    // byte past the limit is enough to tell it grew too large.
    text.clear();
    char buffer[16384];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result = SmallFileRead::kReadFailed;
        break;
      }
      if (n == 0) break;
      if (text.size() + static_cast<std::size_t>(n) > max_bytes) {
        result = SmallFileRead::kTooLarge;
        break;
      }
      text.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return result;
}

bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string& text) {
  return ReadSmallFileChecked(path, max_bytes, text) == SmallFileRead::kOk;
}

int CreateUniqueFile(const std::string& stem, const std::string& suffix, std::string& name) {
  std::random_device entropy;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(entropy()));
    name = stem + digits + suffix;
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

namespace {

// `cause` is the errno of the step that failed, 0 when the failure has no system reason.
bool Replace(const std::string& path, const std::string& text, std::string& error, int& cause) {
  cause = 0;
  const std::string parent = ParentDirectory(path);
  if (!parent.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(parent, ec);
    std::error_code ignored;
    if (ec && !std::filesystem::is_directory(parent, ignored)) {
      return Fail(error, "cannot create " + parent + ": " + ec.message());
    }
  }

  // Messages name the temporary by its stem; the unique suffix means nothing to a reader.
  const std::string shown = path + ".tmp";
  if (path.empty() || path.back() == '/') return Fail(error, "cannot write " + shown);
  std::string temp;
  const int fd = CreateUniqueFile(path + ".tmp.", "", temp);
  if (fd < 0) {
    cause = errno;
    return Fail(error, "cannot write " + shown);
  }
  // The data must be on disk before the rename can publish it.
  const bool written = WriteWhole(fd, text) && ::fsync(fd) == 0;
  if (!written) cause = errno;
  const bool closed = ::close(fd) == 0;
  if (written && !closed) cause = errno;
  if (!written || !closed) {
    ::unlink(temp.c_str());
    return Fail(error, "write failed: " + shown);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    cause = errno;
    ::unlink(temp.c_str());
    return Fail(error, "cannot replace " + path);
  }
  SyncDirectoryOf(path);
  return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::string& path, const std::string& text, std::string& error) {
  int cause = 0;
  return Replace(path, text, error, cause);
}

bool ReplaceFileAtomicallyWithReason(const std::string& path, const std::string& text,
                                     std::string& error) {
  int cause = 0;
  if (Replace(path, text, error, cause)) return true;
  if (cause != 0) error += std::string(": ") + std::strerror(cause);
  return false;
}

}  // namespace halvex
