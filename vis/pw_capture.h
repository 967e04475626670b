// Captures the DSP node's output over PipeWire into an AudioRing on a thread of its own,
// retrying with a growing wait and giving up after repeated failures.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "vis/ring.h"

struct pw_main_loop;

namespace halvex::vis {

// The main loop of the attempt in progress, published so that Stop can quit it. Publishing,
// clearing and quitting share one lock, so Stop never quits a loop that is being destroyed.
class CaptureLoopSlot {
 public:
  // Publishes the loop unless capture is no longer wanted; false means "do not run it".
  bool Publish(pw_main_loop* loop, const std::atomic<bool>& running);
  void Clear();
  // Quits the published loop, if any.
  void Quit();

 private:
  std::mutex mutex_;
  pw_main_loop* loop_ = nullptr;
};

// One attempt: connect, stream until an error, a disconnection or Stop; true when audio arrived.
using CaptureAttempt = std::function<bool(const std::string& node_target, AudioRing& ring,
                                          std::atomic<bool>& audio_seen,
                                          std::atomic<bool>& running, CaptureLoopSlot& loop)>;
// Waits up to `ms` milliseconds, returning early once `running` is clear.
using CaptureWait = std::function<void(int ms, const std::atomic<bool>& running)>;

// The whole stereo frames of a buffer's chunk that lie inside its data block: the chunk's
// offset and size are clipped to `maxsize`, whatever they claim.
struct ChunkSpan {
  uint32_t offset = 0;  // bytes from the start of the block
  size_t frames = 0;
};
ChunkSpan ChunkFrames(uint32_t chunk_offset, uint32_t chunk_size, uint32_t maxsize);

// The real attempt against the PipeWire server.
bool RunOnce(const std::string& node_target, AudioRing& ring, std::atomic<bool>& audio_seen,
             std::atomic<bool>& running, CaptureLoopSlot& loop);
// Sleeps in steps of 100 ms, stopping early when `running` clears.
void WaitWhileRunning(int ms, const std::atomic<bool>& running);

class PipeWireCapture {
 public:
  static constexpr int kFirstWaitMs = 1000;
  static constexpr int kLongestWaitMs = 30000;
  static constexpr int kMaxFailures = 10;

  PipeWireCapture();
  // For tests: replaces the attempt and the wait between attempts.
  PipeWireCapture(CaptureAttempt attempt, CaptureWait wait);
  ~PipeWireCapture();
  PipeWireCapture(const PipeWireCapture&) = delete;
  PipeWireCapture& operator=(const PipeWireCapture&) = delete;

  // Starts the capture thread on the node named `node_target`; "capture already running" when
  // it was started before without Stop.
  bool Start(const std::string& node_target, AudioRing& ring, std::string& error);
  // Quits the attempt in progress or the wait, and joins the thread.
  void Stop();
  // Set once the capture stopped trying; the program then exits for its service manager.
  bool gave_up() const { return gave_up_.load(std::memory_order_acquire); }

  // Body of the capture thread: the retry policy around the attempts.
  void Run(const std::string& node_target, AudioRing* ring);

 private:
  CaptureAttempt attempt_;
  CaptureWait wait_;
  CaptureLoopSlot loop_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> audio_seen_{false};
  std::atomic<bool> gave_up_{false};
};

}  // namespace halvex::vis
