// Everything PipeWire's real-time data thread may touch, and nothing else: the filter's ports,
// the processing switch, the guard, the processor hand-off and the stand-in blocks. The filter's
// process callback gets only this as its user data, so the type system keeps the data thread
// away from the router's maps, the daemon's mutex and the processors' owners.
#pragma once

#include <spa/node/io.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "core/dsp/processor.h"
#include "daemon/rt_guard.h"

namespace halvex {

// Hands the live processor from the control side to the data thread. The control side owns
// every processor; this only says which one is live and which one a cycle is inside.
class ProcessorHandoff {
 public:
  // Control side: the processor the next cycle runs.
  void Publish(Processor* processor) noexcept { live_.store(processor); }
  // Data thread: the live processor, marked as running before it is used.
  Processor* Enter() noexcept;
  void Leave() noexcept { running_.store(nullptr); }
  // The processor a data cycle is inside right now, or null.
  const Processor* Running() const noexcept { return running_.load(); }
  // Control side: waits up to `timeout_ms` until no cycle is inside `processor`.
  bool WaitUntilLeft(const Processor* processor, int64_t timeout_ms) const;

 private:
  std::atomic<Processor*> live_{nullptr};
  std::atomic<Processor*> running_{nullptr};
};

struct RealtimeState {
  // Cycles are processed in slices of this many frames (the size of the zero and scratch
  // blocks that stand in for missing port buffers).
  static constexpr uint32_t kSliceFrames = 1024;
  enum Port { kInputLeft, kInputRight, kOutputLeft, kOutputRight, kPortCount };

  // The filter's process callback; `data` is the RealtimeState.
  static void OnProcess(void* data, spa_io_position* position) noexcept;
  // One graph cycle. Null inputs read as silence; null outputs are skipped; every other output
  // is written.
  void ProcessCycle(const float* in_left, const float* in_right, float* out_left,
                    float* out_right, uint32_t frames) noexcept;

  // Written on the main loop before the filter connects, only read by the data thread after.
  std::array<void*, kPortCount> ports{};
  // Written by the data thread, read by the monitor timer.
  std::atomic<uint32_t> last_quantum{0};
  std::atomic<uint32_t> last_rate{0};
  // Written by the control thread.
  std::atomic<bool> enabled{false};
  ProcessorHandoff processors;
  // The data thread's own; its two counters are read by the monitor timer.
  RtGuard guard;
  std::array<float, kSliceFrames> zeros{};
  std::array<float, kSliceFrames> scratch_left{};
  std::array<float, kSliceFrames> scratch_right{};
};

}  // namespace halvex
