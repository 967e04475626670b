#include "cli/output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config/safe_file.h"

namespace halvex {
namespace {

// Temporaries a signal handler may remove: plain pointers to paths kept alive by their owners.
// Sized for one per worker thread with room to spare; beyond it a file is just not cleaned up.
constexpr int kMaxTemporaries = 256;
std::atomic<const char*> g_temporaries[kMaxTemporaries];

int Register(const char* path) {
  for (int i = 0; i < kMaxTemporaries; ++i) {
    const char* expected = nullptr;
    if (g_temporaries[i].compare_exchange_strong(expected, path)) return i;
  }
  return -1;
}

void Unregister(int slot) {
  if (slot >= 0) g_temporaries[slot].store(nullptr);
}

extern "C" void OnFatalSignal(int signal_number) {
  for (auto& slot : g_temporaries) {
    const char* path = slot.exchange(nullptr);
    if (path != nullptr) ::unlink(path);
  }
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A link in a sticky folder (such as /tmp) that someone else made: whatever it points to is theirs
// to choose, so neither it nor its target is written.
bool PlantedLink(const std::string& path, const struct stat& link) {
  struct stat folder {};
  if (::stat(DirectoryOf(path).c_str(), &folder) != 0) return false;
  return (folder.st_mode & S_ISVTX) != 0 && link.st_uid != ::geteuid();
}

}  // namespace

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) {
    Unregister(slot_);
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
  slot_ = -1;
}

bool OutputFile::Open(const std::string& destination, std::string& error) {
  Discard();
  shown_ = destination;
  struct stat link {};
  const bool is_link = ::lstat(destination.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if (is_link && PlantedLink(destination, link)) {
    error = "refusing a link owned by another user: " + destination;
    return false;
  }
  struct stat st {};
  const bool exists = ::stat(destination.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) {
    error = "cannot write: " + destination;
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    fd_ = ::open(destination.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    // Checked again on what was opened: a regular file swapped in meanwhile is not overwritten.
    struct stat opened {};
    if (fd_ >= 0 && (::fstat(fd_, &opened) != 0 || S_ISREG(opened.st_mode))) {
      ::close(fd_);
      fd_ = -1;
    }
    if (fd_ < 0) {
      error = "cannot write: " + destination;
      return false;
    }
    seekable_ = false;
    return true;
  }

  // A hidden name in the destination's own folder: the rename stays on one file system, and it
  // replaces the name given (a link there is replaced, never what it points to).
  const std::string stem = DirectoryOf(destination) + "/." + NameOf(destination) + ".";
  fd_ = CreateUniqueFile(stem, ".part", temporary_);
  if (fd_ < 0) {
    temporary_.clear();
    error = "cannot write: " + destination;
    return false;
  }
  slot_ = Register(temporary_.c_str());
  // Replacing a file keeps its permissions, as writing over it would; a link's target is not
  // the file being replaced.
  if (exists && !is_link) ::fchmod(fd_, st.st_mode & 07777);
  target_ = destination;
  seekable_ = true;
  return true;
}

bool OutputFile::Commit(std::string& error) {
  if (fd_ < 0) {
    error = "write failed: " + shown_;
    return false;
  }
  const bool in_place = temporary_.empty();
  // A full disk may only show at the flush; in place on a device there may be nothing to flush.
  const bool synced = ::fsync(fd_) == 0 || (in_place && (errno == EINVAL || errno == EROFS));
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed || (!in_place && ::rename(temporary_.c_str(), target_.c_str()) != 0)) {
    error = "write failed: " + shown_;
    Discard();
    return false;
  }
  Unregister(slot_);
  slot_ = -1;
  temporary_.clear();
  return true;
}

void RemoveTemporariesOnSignals() {
  struct sigaction action {};
  action.sa_handler = OnFatalSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &action, nullptr);
}

}  // namespace halvex
