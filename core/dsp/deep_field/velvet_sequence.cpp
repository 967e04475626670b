#include "core/dsp/deep_field/velvet_sequence.h"

#include <utility>

#include "core/dsp/deep_field/field_random.h"
#include "core/dsp/kit/multiversion.h"

namespace halvex {
namespace {

using field::AddLanes;
using field::Lanes32;
using field::LoadLanes;
using field::StoreLanes;
using field::SubLanes;

// The wide taps' window: kWide frames as two blocks of lanes.
struct LanesWide {
  Lanes32 a, b, c, d;
};

template <bool kAdd>
[[gnu::always_inline]] inline void Tap(Lanes32& s, const float* src) {
  if constexpr (kAdd) {
    AddLanes(s, src);
  } else {
    SubLanes(s, src);
  }
}
template <bool kAdd>
[[gnu::always_inline]] inline void Tap(LanesWide& s, const float* src) {
  Tap<kAdd>(s.a, src);
  Tap<kAdd>(s.b, src + field::kBlock);
  Tap<kAdd>(s.c, src + 2 * field::kBlock);
  Tap<kAdd>(s.d, src + 3 * field::kBlock);
}

// s +-= the window at base + offset[j] for each tap in order, kUnroll taps a turn (the loop's
// own instructions would otherwise be a large part of the work; eight a turn counted more
// than four in the wide sums).
template <bool kAdd, size_t kUnroll = 4, typename L>
[[gnu::always_inline]] inline void Taps(L& s, const float* base, const uint32_t* offset,
                                        size_t count) {
  size_t j = 0;
  if constexpr (kUnroll > 1) {
    for (; j + kUnroll <= count; j += kUnroll) {
      for (size_t k = 0; k < kUnroll; ++k) Tap<kAdd>(s, base + offset[j + k]);
    }
  }
  for (; j < count; ++j) Tap<kAdd>(s, base + offset[j]);
}

// The sums are free in order: the positive taps are added in position order, then the negative
// ones subtracted, one accumulator per eight frames, and every frame's sum runs over its taps in
// the same order whichever path asks. base points at the window's first frame in the second copy
// of the history, so base - position stays inside the doubled ring for every far tap.
HALVEX_FMA_CLONES
void SumWideTaps(const float* __restrict base, const uint32_t* __restrict offset, size_t plus,
                 size_t count, float* __restrict out) {
  LanesWide s{};
  Taps<true>(s, base, offset, plus);
  Taps<false>(s, base, offset + plus, count - plus);
  StoreLanes(out, s.a);
  StoreLanes(out + field::kBlock, s.b);
  StoreLanes(out + 2 * field::kBlock, s.c);
  StoreLanes(out + 3 * field::kBlock, s.d);
}

// out = wide + the groups of taps up to `groups`, alternately added and subtracted.
HALVEX_FMA_CLONES
void SumBlockTaps(const float* __restrict base, const uint32_t* __restrict offset,
                  const size_t* end, size_t groups, const float* wide, float* __restrict out) {
  Lanes32 s;
  LoadLanes(s, wide);
  size_t begin = 0;
  for (size_t g = 0; g < groups; ++g) {
    if (g % 2 == 0) {
      Taps<true, 1>(s, base, offset + begin, end[g] - begin);
    } else {
      Taps<false, 1>(s, base, offset + begin, end[g] - begin);
    }
    begin = end[g];
  }
  StoreLanes(out, s);
}

}  // namespace

template <size_t kCapacity>
void VelvetSequence<kCapacity>::Build(size_t taps, size_t span, float tap_level, uint32_t& s) {
  count = taps;
  level = tap_level;
  for (size_t j = 0; j < taps; ++j) {
    // Draws from the generator's high bits: its bit 0 alternates step by step, so with two steps
    // a tap it never changes, which made every sign alike (a low-frequency boost of up to 25 dB,
    // not velvet noise) and every slot draw of an even span odd.
    const uint32_t s1 = FieldRandomStep(s);
    position[j] = j * span + (s1 >> 16) % span;
    sign[j] = (s >> 31) ? level : -level;
    s = FieldRandomStep(s1);
  }
  const auto group_of = [this](size_t j) {
    const size_t plus = position[j] < kBlock  ? kNearPlus
                        : position[j] < kWide ? kMidPlus
                                              : kWidePlus;
    return plus + (sign[j] > 0.0f ? 0 : 1);
  };
  size_t n = 0;
  for (size_t g = 0; g < group_end.size(); ++g) {
    for (size_t j = 0; j < taps; ++j) {
      if (group_of(j) == g) offset[n++] = static_cast<uint32_t>(kHistory - position[j]);
    }
    group_end[g] = n;
  }
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::Reset() {
  history.fill(0.0f);
  wide.fill(0.0f);
  sum.fill(0.0f);
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::Sum(size_t write, Group last_group) noexcept {
  static_assert(kHistory % kWide == 0, "a window never wraps the history");
  static_assert(kMidPlus == 0 && kWidePlus % 2 == 0, "groups alternate, from positive ones");
  // base + offset is the tap's frame in the second copy of the history, inside the doubled ring
  // for the whole window.
  const float* base = history.data() + write;
  const size_t part = write % kWide;
  if (part == 0) {
    const size_t first = group_end[kWidePlus - 1];
    const size_t plus = group_end[kWidePlus] - first;
    SumWideTaps(base, offset.data() + first, plus, group_end[kWideMinus] - first, wide.data());
  }
  SumBlockTaps(base, offset.data(), group_end.data(), last_group, wide.data() + part,
               sum.data());
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::SumFar(size_t write) noexcept {
  Sum(write, kNearPlus);
}

template <size_t kCapacity>
void VelvetSequence<kCapacity>::SumBlock(size_t write) noexcept {
  Sum(write, kWidePlus);
}

template <size_t kCapacity>
float VelvetSequence<kCapacity>::Step(float x, size_t write, size_t block_pos) noexcept {
  Write(write, x);
  float s = sum[block_pos];
  const float* base = history.data() + write;
  for (size_t j = group_end[kMidMinus]; j < group_end[kNearPlus]; ++j) s += base[offset[j]];
  for (size_t j = group_end[kNearPlus]; j < group_end[kNearMinus]; ++j) s -= base[offset[j]];
  return s;
}

// The early sequences hold up to 96 taps, the late ones 300.
template struct VelvetSequence<96>;
template struct VelvetSequence<300>;

}  // namespace halvex
