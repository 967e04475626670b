// Biquad sections in series over a block of samples, two such chains at once.
#pragma once

#include <cstddef>

#include "core/dsp/filters/biquad.h"

namespace halvex {

// Up to kMaxSections sections applied one after another to `samples`, in place.
struct BiquadChain {
  static constexpr size_t kMaxSections = 4;
  Biquad* sections = nullptr;
  size_t count = 0;
  float* samples = nullptr;
  // After each step a section's memories below this magnitude become zero (0: never), for
  // resonant sections that would otherwise ring on below the smallest normal float.
  float flush = 0.0f;
};

// The same as Biquad::Process of each chain's sections in order, frame after frame, with the same
// bits. Where AVX2 and FMA are present the sections run as a wavefront, one vector lane per
// section (four for each chain), so the frames' serial chains overlap. A chain with no sections
// is left alone. Both chains take the flush of chain a.
void RunBiquadChains(BiquadChain a, BiquadChain b, size_t frames) noexcept;

}  // namespace halvex
