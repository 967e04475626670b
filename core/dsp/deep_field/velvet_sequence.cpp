#include "core/dsp/deep_field/velvet_sequence.h"

#include "core/dsp/deep_field/field_random.h"
#include "core/dsp/kit/multiversion.h"

namespace halvex {
namespace {

using field::AddLanes;
using field::Lanes32;
using field::LoadLanes;
using field::StoreLanes;
using field::SubLanes;

[[gnu::always_inline]] inline void SumTaps(Lanes32& even, Lanes32& odd, const float* base,
                                           const uint32_t* offset, size_t count) {
  size_t j = 0;
  // Eight taps a turn (the loop's own instructions are a quarter of the work at two), the same
  // adds in the same order as two a turn.
  for (; j + 8 <= count; j += 8) {
    for (size_t k = 0; k < 8; k += 2) {
      AddLanes(even, base + offset[j + k]);
      AddLanes(odd, base + offset[j + k + 1]);
    }
  }
  for (; j + 2 <= count; j += 2) {
    AddLanes(even, base + offset[j]);
    AddLanes(odd, base + offset[j + 1]);
  }
  if (j < count) AddLanes(even, base + offset[j]);
}

// far[i] = sum over the far taps of sign * x(block start + i - position), lanes across time.
// The order of the sum is free: the positive taps and the negative taps are each summed in
// position order, alternating between two partial sums so consecutive adds do not wait on each
// other, and far = (plus_even + plus_odd) - (minus_even + minus_odd). base points at the
// block's first frame in the second copy of the history, so base - position stays inside the
// doubled ring for every far tap.
HALVEX_FMA_CLONES
void SumFarTaps(const float* __restrict base, const uint32_t* __restrict offset, size_t plus,
                size_t count, float* __restrict far) {
  Lanes32 plus_even{}, plus_odd{}, minus_even{}, minus_odd{};
  SumTaps(plus_even, plus_odd, base, offset, plus);
  SumTaps(minus_even, minus_odd, base, offset + plus, count - plus);
  Lanes32 sum;
  field::ForParts([](Float8& s, const Float8& pe, const Float8& po, const Float8& me,
                     const Float8& mo) { s = (pe + po) - (me + mo); },
                  sum, plus_even, plus_odd, minus_even, minus_odd);
  StoreLanes(far, sum);
}

}  // namespace

template <size_t kCapacity>
void VelvetSequence<kCapacity>::Build(size_t taps, size_t span, float tap_level, uint32_t& s) {
  count = taps;
  level = tap_level;
  near_count = 0;
  for (size_t j = 0; j < taps; ++j) {
    const uint32_t s1 = FieldRandomStep(s);
    position[j] = j * span + s1 % span;
    sign[j] = (s & 1u) ? level : -level;
    s = FieldRandomStep(s1);
    // Positions grow with j, so the near taps are a prefix.
    if (position[j] < kBlock) near_count = j + 1;
  }
  far_plus = 0;
  size_t n = 0;
  for (bool positive : {true, false}) {
    for (size_t j = near_count; j < taps; ++j) {
      if ((sign[j] > 0.0f) != positive) continue;
      far_offset[n++] = static_cast<uint32_t>(kHistory - position[j]);
    }
    if (positive) far_plus = n;
  }
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::Reset() {
  history.fill(0.0f);
  sum.fill(0.0f);
}

template <size_t kCapacity>
float VelvetSequence<kCapacity>::Step(float x, size_t write, size_t block_pos) noexcept {
  constexpr size_t kMask = kHistory - 1;
  Write(write, x);
  float s = sum[block_pos];
  for (size_t j = 0; j < near_count; ++j) {
    const float h = history[(write - position[j]) & kMask];
    s += sign[j] > 0.0f ? h : -h;
  }
  return s;
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::SumFar(size_t write) noexcept {
  static_assert(kHistory % kBlock == 0, "a block never wraps the history");
  SumFarTaps(history.data() + write, far_offset.data(), far_plus, count - near_count, sum.data());
}

// The near taps in tap order, lanes across the block's frames: the same adds, in the same
// order, as Step makes frame by frame.
template <size_t kCapacity>
void VelvetSequence<kCapacity>::AddNear(size_t write) noexcept {
  constexpr size_t kMask = kHistory - 1;
  Lanes32 s;
  LoadLanes(s, sum.data());
  for (size_t j = 0; j < near_count; ++j) {
    const float* src = history.data() + ((write - position[j]) & kMask);
    if (sign[j] > 0.0f) {
      AddLanes(s, src);
    } else {
      SubLanes(s, src);
    }
  }
  StoreLanes(sum.data(), s);
}

// The early sequences hold up to 96 taps, the late ones 300.
template struct VelvetSequence<96>;
template struct VelvetSequence<300>;

}  // namespace halvex
