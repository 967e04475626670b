#include "cli/progress_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <unistd.h>

#include "core/ipc/socket_io.h"

namespace halvex {
namespace {

constexpr std::chrono::milliseconds kDrawInterval{100};  // at most ten drawings a second
constexpr double kParts = 1e6;
constexpr const char* kEraseLine = "\r\033[K";

}  // namespace

std::string FormatDuration(double seconds) {
  const long total = std::lround(std::max(0.0, seconds));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

ProgressLine::ProgressLine(int fd, size_t files)
    : fd_(fd),
      active_(::isatty(fd) == 1),
      files_(files),
      parts_(std::make_unique<std::atomic<uint32_t>[]>(files)),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  for (size_t i = 0; i < files; ++i) parts_[i].store(0);
}

void ProgressLine::Report(size_t file, double fraction, double audio_seconds) {
  if (file < files_) {
    const double clamped = std::min(1.0, std::max(0.0, fraction));
    parts_[file].store(static_cast<uint32_t>(clamped * kParts), std::memory_order_relaxed);
  }
  audio_us_.fetch_add(static_cast<uint64_t>(audio_seconds * 1e6), std::memory_order_relaxed);
}

void ProgressLine::FileDone(size_t file) {
  if (file < files_) parts_[file].store(static_cast<uint32_t>(kParts), std::memory_order_relaxed);
  files_done_.fetch_add(1, std::memory_order_relaxed);
}

std::string ProgressLine::Compose(double elapsed) const {
  double done = 0.0;
  for (size_t i = 0; i < files_; ++i) done += parts_[i].load(std::memory_order_relaxed) / kParts;
  const double fraction = files_ == 0 ? 1.0 : done / static_cast<double>(files_);
  const double audio = static_cast<double>(audio_us_.load(std::memory_order_relaxed)) * 1e-6;
  char text[160];
  int n = std::snprintf(text, sizeof text, "%3d%%", static_cast<int>(fraction * 100.0));
  if (files_ > 1) {
    n += std::snprintf(text + n, sizeof text - n, "  %zu of %zu files", files_done_.load(), files_);
  }
  if (elapsed > 0.0 && audio > 0.0) {
    n += std::snprintf(text + n, sizeof text - n, "  %.1fx real time", audio / elapsed);
  }
  if (fraction > 0.0 && fraction < 1.0) {
    std::snprintf(text + n, sizeof text - n, "  %s left", FormatDuration(elapsed * (1.0 - fraction) / fraction).c_str());
  }
  return text;
}

void ProgressLine::Tick() {
  if (!active_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < kDrawInterval) return;
  last_draw_ = now;
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  std::fflush(stderr);
  WriteAll(fd_, std::string("\r") + Compose(elapsed) + "\033[K");
  shown_ = true;
}

void ProgressLine::Clear() {
  if (!shown_) return;
  WriteAll(fd_, kEraseLine);
  shown_ = false;
}

void ProgressLine::Print(const std::string& text) {
  Clear();
  std::fflush(stderr);
  WriteAll(fd_, text + "\n");
}

}  // namespace halvex
