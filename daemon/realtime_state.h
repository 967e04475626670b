// Everything PipeWire's real-time data thread may touch, and nothing else: the filter's ports,
// the processing switch, the guard, the processor cross-fade and the stand-in blocks. The filter's
// process callback gets only this as its user data, so the type system keeps the data thread
// away from the router's maps, the daemon's mutex and the processors' owners.
#pragma once

#include <spa/node/io.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "daemon/processor_crossfade.h"
#include "daemon/rt_guard.h"

namespace halvex {

struct RealtimeState {
  // Cycles are processed in slices of this many frames (the size of the zero and scratch
  // blocks that stand in for missing port buffers).
  static constexpr uint32_t kSliceFrames = ProcessorCrossfade::kMaxFrames;
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
  // Published by the control thread; the rest of it is the data thread's.
  ProcessorCrossfade processors;
  // The data thread's own; its two counters are read by the monitor timer.
  RtGuard guard;
  std::array<float, kSliceFrames> zeros{};
  std::array<float, kSliceFrames> scratch_left{};
  std::array<float, kSliceFrames> scratch_right{};
};

}  // namespace halvex
