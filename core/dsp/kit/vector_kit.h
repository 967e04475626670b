// The vector types the kernels share, and the one way they load and store them: GCC vector
// extensions, so every lane does exactly the scalar operation and the bits are a scalar loop's.
// A vector never crosses a call (the clones of a multiversioned function would pass it
// differently), so loads and stores are always-inline helpers or macros, compiled inside each
// clone for its own instruction set.
#pragma once

#include <cstdint>
#include <cstring>

namespace halvex {

using Float4 = float __attribute__((vector_size(4 * sizeof(float))));
using Int4 = int32_t __attribute__((vector_size(4 * sizeof(int32_t))));
using Float8 = float __attribute__((vector_size(8 * sizeof(float))));
using Int8 = int32_t __attribute__((vector_size(8 * sizeof(int32_t))));
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));
using Int64x4 = int64_t __attribute__((vector_size(4 * sizeof(int64_t))));

// For loads and stores at any float boundary through a cast pointer.
using Float4Unaligned = float __attribute__((vector_size(4 * sizeof(float)), aligned(4)));
using Float8Unaligned =
    float __attribute__((vector_size(8 * sizeof(float)), aligned(4), may_alias));

// Four or eight floats from and to any float boundary. Eight lanes go by reference: returned by
// value they would change the ABI of the clones built without AVX.
[[gnu::always_inline]] inline Float4 Load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void Store4(float* p, Float4 v) { std::memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline void Load8(Float8& v, const float* p) {
  std::memcpy(&v, p, sizeof v);
}
[[gnu::always_inline]] inline void Store8(float* p, const Float8& v) {
  std::memcpy(p, &v, sizeof v);
}

// r[i][j] becomes r[j][i]: unpacks within pairs of rows, then pairs of pairs.
[[gnu::always_inline]] inline void Transpose4x4(Float4* r) {
  const Float4 t0 = __builtin_shuffle(r[0], r[1], Int4{0, 4, 1, 5});
  const Float4 t1 = __builtin_shuffle(r[0], r[1], Int4{2, 6, 3, 7});
  const Float4 t2 = __builtin_shuffle(r[2], r[3], Int4{0, 4, 1, 5});
  const Float4 t3 = __builtin_shuffle(r[2], r[3], Int4{2, 6, 3, 7});
  r[0] = __builtin_shuffle(t0, t2, Int4{0, 1, 4, 5});
  r[1] = __builtin_shuffle(t0, t2, Int4{2, 3, 6, 7});
  r[2] = __builtin_shuffle(t1, t3, Int4{0, 1, 4, 5});
  r[3] = __builtin_shuffle(t1, t3, Int4{2, 3, 6, 7});
}

// r[i][j] becomes r[j][i]: unpacks within pairs of rows, then pairs of pairs, then halves.
[[gnu::always_inline]] inline void Transpose8x8(Float8* r) {
  const Int8 unpack_lo = {0, 8, 1, 9, 4, 12, 5, 13};
  const Int8 unpack_hi = {2, 10, 3, 11, 6, 14, 7, 15};
  const Int8 pair_lo = {0, 1, 8, 9, 4, 5, 12, 13};
  const Int8 pair_hi = {2, 3, 10, 11, 6, 7, 14, 15};
  const Int8 half_lo = {0, 1, 2, 3, 8, 9, 10, 11};
  const Int8 half_hi = {4, 5, 6, 7, 12, 13, 14, 15};
  Float8 t[8];
  for (size_t k = 0; k < 8; k += 2) {
    t[k] = __builtin_shuffle(r[k], r[k + 1], unpack_lo);
    t[k + 1] = __builtin_shuffle(r[k], r[k + 1], unpack_hi);
  }
  Float8 s[8];
  for (size_t k = 0; k < 8; k += 4) {
    s[k] = __builtin_shuffle(t[k], t[k + 2], pair_lo);
    s[k + 1] = __builtin_shuffle(t[k], t[k + 2], pair_hi);
    s[k + 2] = __builtin_shuffle(t[k + 1], t[k + 3], pair_lo);
    s[k + 3] = __builtin_shuffle(t[k + 1], t[k + 3], pair_hi);
  }
  for (size_t k = 0; k < 4; ++k) {
    r[k] = __builtin_shuffle(s[k], s[k + 4], half_lo);
    r[k + 4] = __builtin_shuffle(s[k], s[k + 4], half_hi);
  }
}

}  // namespace halvex

// The same as expressions, for kernels that read and write through the unaligned aliases.
#define HALVEX_LOAD4(p) (*reinterpret_cast<const ::halvex::Float4Unaligned*>(p))
#define HALVEX_LOAD8(p) (*reinterpret_cast<const ::halvex::Float8Unaligned*>(p))
#define HALVEX_STORE8(p, v) (*reinterpret_cast<::halvex::Float8Unaligned*>(p) = (v))
// Lanes in reverse order.
#define HALVEX_REVERSE8(v) __builtin_shufflevector((v), (v), 7, 6, 5, 4, 3, 2, 1, 0)
