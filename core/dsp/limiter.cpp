#include "core/dsp/limiter.h"

#include <cmath>

namespace halvex {

void SoftClipLimiter::SetCeiling(float ceiling_db) {
  ceiling_ = std::exp(ceiling_db * 0.05f * 2.3025851f);
  knee_ = 1.5f * ceiling_;
  // Makes x(1 - c x^2) reach the ceiling with zero slope exactly at the knee.
  coefficient_ = 0.33333334f / (knee_ * knee_);
}

}  // namespace halvex
