// The small vector steps the field's kernels share: four and eight lanes of elementwise float
// operations, windows of one block of frames in a ring, and an 8x8 transpose. Every lane does
// exactly the scalar operation, so the bits are those of a scalar loop on every build.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "core/dsp/kit/vector_kit.h"

namespace halvex::field {

// Frames the field renders at once: its velvet sums, line reads and diffusers run across them.
inline constexpr size_t kBlock = 32;
// Below this the recursive paths are set to 0, which keeps denormals out of the loops.
inline constexpr float kFlush = 1e-25f;

[[gnu::always_inline]] inline float Flush(float x) { return std::fabs(x) < kFlush ? 0.0f : x; }

[[gnu::always_inline]] inline Float4 Splat(float x) { return Float4{x, x, x, x}; }
[[gnu::always_inline]] inline Float4 Flush4(Float4 x) {
  const Float4 magnitude = reinterpret_cast<Float4>(reinterpret_cast<Int4>(x) & 0x7fffffff);
  return magnitude < Splat(kFlush) ? Splat(0.0f) : x;
}

// Exactly rounded square roots of four values that are never negative. The vector instruction
// avoids the errno check that keeps the scalar call out of vector code.
[[gnu::always_inline]] inline Float4 Sqrt4(Float4 x) {
#if defined(__SSE__)
  return reinterpret_cast<Float4>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
#else
  return Float4{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
#endif
}

// Eight-lane versions; arguments by reference, since a vector passed by value would change the
// baseline ABI.
[[gnu::always_inline]] inline void Flush8(Float8& x) {
  const Float8 magnitude = reinterpret_cast<Float8>(reinterpret_cast<Int8>(x) & 0x7fffffff);
  const Float8 limit = Float8{} + kFlush;
  x = magnitude < limit ? Float8{} : x;
}
[[gnu::always_inline]] inline void Clamp8(Float8& x, float lo, float hi) {
  const Float8 low = Float8{} + lo;
  const Float8 high = Float8{} + hi;
  x = x < low ? low : x;
  x = x > high ? high : x;
}
[[gnu::always_inline]] inline void Sqrt8(Float8& x) {
  // Halves by shuffles rather than through memory, where a wide load of two narrow stores
  // would stall.
  const Float4 lo = Sqrt4(__builtin_shufflevector(x, x, 0, 1, 2, 3));
  const Float4 hi = Sqrt4(__builtin_shufflevector(x, x, 4, 5, 6, 7));
  x = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
}

using halvex::Transpose8x8;

// One block of frames as four vectors of eight, named so that they stay in registers.
static_assert(kBlock == 32, "a block is four vectors of eight frames");
struct Lanes32 {
  Float8 a, b, c, d;
};

// f(part of x, part of y, ...) for each of the four parts, in order.
template <typename F, typename... L>
[[gnu::always_inline]] inline void ForParts(F&& f, L&... lanes) {
  f(lanes.a...);
  f(lanes.b...);
  f(lanes.c...);
  f(lanes.d...);
}

[[gnu::always_inline]] inline void LoadLanes(Lanes32& v, const float* src) {
  Load8(v.a, src);
  Load8(v.b, src + 8);
  Load8(v.c, src + 16);
  Load8(v.d, src + 24);
}

[[gnu::always_inline]] inline void StoreLanes(float* dst, const Lanes32& v) {
  Store8(dst, v.a);
  Store8(dst + 8, v.b);
  Store8(dst + 16, v.c);
  Store8(dst + 24, v.d);
}

[[gnu::always_inline]] inline void AddLanes(Lanes32& acc, const float* src) {
  Lanes32 x;
  LoadLanes(x, src);
  acc.a += x.a;
  acc.b += x.b;
  acc.c += x.c;
  acc.d += x.d;
}

[[gnu::always_inline]] inline void SubLanes(Lanes32& acc, const float* src) {
  Lanes32 x;
  LoadLanes(x, src);
  acc.a -= x.a;
  acc.b -= x.b;
  acc.c -= x.c;
  acc.d -= x.d;
}

// ring[(start + i) & mask] for the block's frames; a window that wraps is copied in two parts.
[[gnu::always_inline]] inline void ReadWindow(Lanes32& v, const float* ring, size_t mask,
                                              size_t start) {
  start &= mask;
  if (start + kBlock <= mask + 1) {
    LoadLanes(v, ring + start);
    return;
  }
  alignas(32) std::array<float, kBlock> t;
  for (size_t i = 0; i < kBlock; ++i) t[i] = ring[(start + i) & mask];
  LoadLanes(v, t.data());
}

[[gnu::always_inline]] inline void WriteWindow(float* ring, size_t mask, size_t start,
                                               const Lanes32& v) {
  start &= mask;
  if (start + kBlock <= mask + 1) {
    StoreLanes(ring + start, v);
    return;
  }
  alignas(32) std::array<float, kBlock> t;
  StoreLanes(t.data(), v);
  for (size_t i = 0; i < kBlock; ++i) ring[(start + i) & mask] = t[i];
}

}  // namespace halvex::field
