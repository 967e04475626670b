// Follows the desktop's media players over the D-Bus session bus (MPRIS) on a thread of its own
// and keeps "artist ~ title" of the one that plays, for the render loop to read once per frame.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

typedef struct _GMainLoop GMainLoop;
typedef struct _GCancellable GCancellable;

namespace halvex::vis {

// "artist ~ title", or whichever of the two is not empty.
std::string FormatNowPlaying(const std::string& artist, const std::string& title);

class MprisNowPlaying {
 public:
  MprisNowPlaying() = default;
  ~MprisNowPlaying();
  MprisNowPlaying(const MprisNowPlaying&) = delete;
  MprisNowPlaying& operator=(const MprisNowPlaying&) = delete;

  // Starts the watcher thread; false when it is already running. Without a session bus the
  // thread says so once and ends, and Current() stays empty.
  bool Start();
  // Ends the thread and waits for it; safe at any moment, also right after Start and twice.
  void Stop();
  // The text of the player that plays (else of the first player); empty without one.
  std::string Current() const;

 private:
  void Run();

  mutable std::mutex mutex_;
  std::string text_;  // guarded by mutex_
  std::atomic<bool> running_{false};
  GMainLoop* loop_ = nullptr;            // guarded by mutex_; the thread's loop while it exists
  GCancellable* cancellable_ = nullptr;  // cuts short the thread's D-Bus calls at Stop
  std::thread thread_;
};

}  // namespace halvex::vis
