// One self-updating line on a terminal while files render: percentage, speed, time left.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace halvex {

// Workers report from any thread; one thread (the one that prints) draws. Nothing at all is
// drawn when fd is not a terminal, and lines printed through Print never mix with the line.
class ProgressLine {
 public:
  ProgressLine(int fd, size_t files);
  bool active() const { return active_; }

  // Thread-safe: file has done fraction (0 to 1) of its frames, and seconds more of audio.
  void Report(size_t file, double fraction, double audio_seconds);
  void FileDone(size_t file);

  // Draws when the last drawing is at least 100 ms old.
  void Tick();
  // Erases the line, then writes text and a newline (the line comes back at the next Tick).
  void Print(const std::string& text);
  void Clear();

 private:
  std::string Compose(double elapsed) const;

  int fd_;
  bool active_;
  size_t files_;
  std::unique_ptr<std::atomic<uint32_t>[]> parts_;  // millionths done, per file
  std::atomic<uint64_t> audio_us_{0};
  std::atomic<size_t> files_done_{0};
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool shown_ = false;
};

// "0:07", "12:34", "1:02:03".
std::string FormatDuration(double seconds);

}  // namespace halvex
