// Up to 32 real 256-tap FIR filters on one stereo pair, without latency: the first Block taps
// of each filter run directly, frame by frame; the others by fast convolution, Block frames at
// a time. A caller that knows its input a block ahead can instead run whole filters by fast
// convolution, a block at a time.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/kit/isa_level.h"

namespace halvex {

template <size_t B>
struct BandConvolverKernels;

template <size_t Block>
class BandConvolverOf {
 public:
  static constexpr size_t kTaps = 256;
  static constexpr size_t kMaxFilters = 32;
  static constexpr size_t kBlock = Block;
  static_assert(kTaps % kBlock == 0);

  // `count` rows of kTaps coefficients, one after the other (at most kMaxFilters are used).
  // `level` picks the build of the hot loops; every build gives the same bits.
  void Configure(const float* rows, size_t count, SplitLevel level = BestSplitLevel());
  // Clears the signal history; the filters stay.
  void Reset();
  // This frame's output of filter f on each channel in out_left[f] and out_right[f], for f
  // below count(). Both arrays must hold kMaxFilters floats: entries past count() are
  // overwritten with 0.
  void Process(float left, float right, float* out_left, float* out_right) noexcept;
  // The next kBlock frames of input at once (instead of Process): every filter whole, by fast
  // convolution. Their outputs are then read with BlockOutput.
  void FilterBlock(const float* left, const float* right) noexcept;
  // Frame `frame` (below kBlock) of the last FilterBlock, written as Process writes a frame.
  void BlockOutput(size_t frame, float* out_left, float* out_right) const noexcept;

  size_t count() const { return count_; }

  // Filters side by side, one per vector lane.
  static constexpr size_t kLanes = 16;
  struct alignas(64) Lanes {
    std::array<float, kLanes> v;
  };

 private:
  friend struct BandConvolverKernels<Block>;

  static constexpr size_t kGroups = kMaxFilters / kLanes;
  static constexpr size_t kFft = 2 * kBlock;
  // Spectra of real filters: the bins above kFft / 2 are the conjugates of those below.
  static constexpr size_t kBins = kFft / 2 + 1;
  // Partition p holds taps kBlock p to kBlock (p + 1) - 1; Process transforms partitions 1 on.
  static constexpr size_t kParts = kTaps / kBlock;

  struct Group {
    std::array<Lanes, kBlock> head;  // head[k]: tap k of each filter
    // Spectra c + id of the partitions, scaled by 1 / kFft for the inverse transform, as c,
    // d - c and c + d: the three factors of a complex product in three multiplies.
    std::array<std::array<Lanes, kBins>, kParts> part_c;
    std::array<std::array<Lanes, kBins>, kParts> part_d;
    std::array<std::array<Lanes, kBins>, kParts> part_s;
    // The tail of every frame of the current block: left in the real part, right in the
    // imaginary part.
    std::array<Lanes, kBlock> tail_left;
    std::array<Lanes, kBlock> tail_right;
  };

  using BlockFn = void (*)(BandConvolverOf&) noexcept;
  using FrameFn = void (*)(const BandConvolverOf&, float*, float*) noexcept;
  struct Builds {
    BlockFn tail;   // partitions 1 on, for Process
    BlockFn whole;  // every partition, for FilterBlock
    FrameFn frame;
  };

  std::array<Group, kGroups> groups_{};
  size_t count_ = 0;
  size_t group_count_ = 0;
  // Twiddles e^(-2 pi i j / kFft), j below kFft / 2.
  std::array<float, kFft / 2> twiddle_cos_{};
  std::array<float, kFft / 2> twiddle_sin_{};
  // The same per pass of the forward transform, contiguous: half span h from offset h - 1.
  std::array<float, kFft - 1> pass_cos_{};
  std::array<float, kFft - 1> pass_sin_{};
  // Spectra of the last kParts input block pairs (left + i right): rows of the real parts,
  // the imaginary parts and their sums, each value repeated over the W lanes of the build's
  // vectors, so the products with the partitions take it as a vector operand. The newest is at
  // row spectrum_pos_ and again at spectrum_pos_ + kParts, so every older one lies a fixed
  // distance before the second copy: one pointer serves all partitions.
  alignas(64) std::array<float, 2 * kParts * 3 * kFft * kLanes> spectra_{};
  size_t spectrum_pos_ = 0;
  // The previous block, then the current one, oldest first.
  std::array<float, kFft> block_left_{};
  std::array<float, kFft> block_right_{};
  // Newest first from line_pos_, each sample written twice so kBlock of them are contiguous.
  std::array<float, 2 * kBlock> line_left_{};
  std::array<float, 2 * kBlock> line_right_{};
  size_t line_pos_ = 0;
  size_t frame_ = 0;  // frame within the current block
  Builds builds_{};
};

// Blocks of 32 frames for the frame-by-frame path: its direct head is the block long. Run whole
// a block ahead, longer blocks need fewer partitions: 64 frames halve the spectral products.
using BandConvolver = BandConvolverOf<32>;
using BlockBandConvolver = BandConvolverOf<64>;
extern template class BandConvolverOf<32>;
extern template class BandConvolverOf<64>;

}  // namespace halvex
