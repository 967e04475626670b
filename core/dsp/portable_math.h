// Scalar functions whose results must not depend on the compiler's choice of float intrinsics.
#pragma once

namespace halvex {

// Two-argument arctangent of the values widened to double, rounded to float.
float Atan2(float y, float x);

// sqrt(a * b) in single precision.
float GeometricMean(float a, float b);

}  // namespace halvex
