// The field's pseudo-random generator: the engine's 32-bit linear congruential step, so every
// run draws the same sequences from the same seed.
#pragma once

#include <cstdint>

namespace halvex {

inline uint32_t FieldRandomStep(uint32_t s) { return s * 1664525u + 1013904223u; }

}  // namespace halvex
