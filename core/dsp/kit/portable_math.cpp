#include "core/dsp/kit/portable_math.h"

#include <cmath>

namespace halvex {

float Atan2(float y, float x) {
  return static_cast<float>(std::atan2(static_cast<double>(y), static_cast<double>(x)));
}

float GeometricMean(float a, float b) { return std::sqrt(a * b); }

}  // namespace halvex
