// A velvet-noise sequence: sparse taps of +-level, one in each slot of a fixed span, convolved
// with the history of its input, frame by frame or a block of frames at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/dsp/deep_field/field_lanes.h"

namespace halvex {

// The history is written twice (at w and w + kHistory) so that any window of up to kHistory
// frames is contiguous. It holds the input times the tap level, so every tap is an exact
// +-copy of the product the sum needs and costs one add.
template <size_t kCapacity>
struct VelvetSequence {
  static constexpr size_t kHistory = 2048;
  static constexpr size_t kBlock = field::kBlock;

  std::array<size_t, kCapacity> position{};
  std::array<float, kCapacity> sign{};
  float level = 0.0f;  // |sign| of every tap
  size_t count = 0;
  size_t near_count = 0;  // taps closer than a block, summed after the block's frames are known
  // Far taps as kHistory - position, the positive taps first (far_plus of them).
  std::array<uint32_t, kCapacity> far_offset{};
  size_t far_plus = 0;
  std::array<float, 2 * kHistory> history{};
  std::array<float, kBlock> sum{};  // the block's sums: far taps after SumFar, all after AddNear

  // `taps` taps of +-level, tap j at j * span plus a draw below span, its sign from the state
  // before the draw; `s` is the generator state, advanced twice per tap.
  void Build(size_t taps, size_t span, float level, uint32_t& s);
  void Reset();

  // Frame by frame: x enters at `write`, the frame `block_pos` of a block whose SumFar ran at
  // its first frame; returns the frame's sum.
  float Step(float x, size_t write, size_t block_pos) noexcept;
  // A block at once, starting at `write` (a multiple of the block): SumFar, then the block's
  // inputs through Write, then AddNear leaves the block's sums in `sum`.
  void SumFar(size_t write) noexcept;
  void Write(size_t at, float x) noexcept { history[at] = history[at + kHistory] = level * x; }
  // Write for the block's frames x[0..kBlock) from `write` on, as vectors.
  void WriteBlock(size_t write, const float* x) noexcept {
    field::Lanes32 v;
    field::LoadLanes(v, x);
    field::ForParts([this](Float8& part) { part = level * part; }, v);
    field::StoreLanes(history.data() + write, v);
    field::StoreLanes(history.data() + write + kHistory, v);
  }
  void AddNear(size_t write) noexcept;
};

}  // namespace halvex
