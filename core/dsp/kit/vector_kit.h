// The vector types the kernels share: GCC vector extensions, so every lane does exactly the
// scalar operation and the bits are a scalar loop's. Types only: a vector never crosses a call
// (the clones of a multiversioned function would pass it differently), so kernels load and
// store with memcpy or the unaligned aliases, inside always-inline helpers.
#pragma once

#include <cstdint>

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

}  // namespace halvex
