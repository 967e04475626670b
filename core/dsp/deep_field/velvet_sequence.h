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
// +-copy of the product the sum needs and costs one add or subtract.
// The taps fall in three groups by how far back they reach. Wide taps (kWide frames or more) are
// summed once every kWide frames for all of them, which spreads the address work of each tap
// over more adds; mid taps (kBlock..kWide-1) once per block; near taps frame by frame, or
// after the block's inputs are written.
template <size_t kCapacity>
struct VelvetSequence {
  static constexpr size_t kHistory = 2048;
  static constexpr size_t kBlock = field::kBlock;
  static constexpr size_t kWide = 4 * kBlock;

  // The groups in the order they are summed, each as its positive taps then its negative ones.
  enum Group : size_t { kMidPlus, kMidMinus, kNearPlus, kNearMinus, kWidePlus, kWideMinus };

  std::array<size_t, kCapacity> position{};
  std::array<float, kCapacity> sign{};
  float level = 0.0f;  // |sign| of every tap
  size_t count = 0;
  // kHistory - position of every tap, group after group; group g ends at group_end[g].
  std::array<uint32_t, kCapacity> offset{};
  std::array<size_t, kWideMinus + 1> group_end{};
  std::array<float, 2 * kHistory> history{};
  // The wide taps' sums for the kWide frames from the last multiple of kWide.
  std::array<float, kWide> wide{};
  std::array<float, kBlock> sum{};  // the block's sums: see SumFar and SumBlock

  // `taps` taps of +-level, tap j at j * span plus a draw below span, its sign from the top bit
  // of the state before the draw; `s` is the generator state, advanced twice per tap.
  void Build(size_t taps, size_t span, float level, uint32_t& s);
  void Reset();

  // Frame by frame: SumFar at the first frame of each block (`write` a multiple of kBlock)
  // leaves the wide and mid sums of the block's frames in `sum`; Step then enters x at `write`,
  // the frame `block_pos` of that block, and returns the frame's sum.
  void SumFar(size_t write) noexcept;
  float Step(float x, size_t write, size_t block_pos) noexcept;
  // A block at once, starting at `write` (a multiple of kBlock): the block's inputs through
  // WriteBlock, then SumBlock leaves the block's sums in `sum`, with the operations of SumFar
  // and Step in the same order.
  void Write(size_t at, float x) noexcept { history[at] = history[at + kHistory] = level * x; }
  void WriteBlock(size_t write, const float* x) noexcept {
    field::Lanes32 v;
    field::LoadLanes(v, x);
    field::ForParts([this](Float8& part) { part = level * part; }, v);
    field::StoreLanes(history.data() + write, v);
    field::StoreLanes(history.data() + write + kHistory, v);
  }
  void SumBlock(size_t write) noexcept;

 private:
  // The wide sums when `write` starts their window, then `sum` = the block's part of them plus
  // the groups before `last_group`.
  void Sum(size_t write, Group last_group) noexcept;
};

}  // namespace halvex
