// The expression language's operators and built-in functions over doubles, shared by its
// interpreters so that every one of them computes the same values. Static: each interpreter's
// source keeps its own copy, which the compiler optimises together with the interpreter loop
// (one shared copy made the single-program interpreter about a fifth slower).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "vis/eel.h"
#include "vis/number_conversion.h"

namespace halvex::vis {

// floor, except that NaN gives 0 and magnitudes from 2^52 up are already whole.
static inline double EelInt(double a) {
  if (std::isnan(a)) return 0.0;
  if (std::fabs(a) >= 4503599627370496.0) return a;
  return std::floor(a);
}

// Built-in function `code` of kFunctions on its arguments; rand advances `rng`.
static inline double EelCall(uint8_t code, const double* arg, uint32_t& rng) {
  const double a = arg[0];
  switch (code) {
    case 0: return std::sin(a);
    case 1: return std::cos(a);
    case 2: return std::tan(a);
    case 3: return std::asin(std::clamp(a, -1.0, 1.0));
    case 4: return std::acos(std::clamp(a, -1.0, 1.0));
    case 5: return std::atan(a);
    case 6: return std::atan2(a, arg[1]);
    case 7: return a * a;
    case 8: return std::sqrt(std::fabs(a));
    case 9: return std::pow(a, arg[1]);
    case 10: return std::exp(a);
    case 11: return a > 0.0 ? std::log(a) : 0.0;
    case 12: return a > 0.0 ? std::log10(a) : 0.0;
    case 13: return std::fabs(a);
    case 14: return a > 0.0 ? 1.0 : (a < 0.0 ? -1.0 : 0.0);
    case 15: return std::min(a, arg[1]);
    case 16: return std::max(a, arg[1]);
    case 17: return EelInt(a);
    case 18:
      rng = rng * 1664525u + 1013904223u;
      return static_cast<double>(rng >> 8) * (1.0 / 16777216.0) * a;
    case 19: return 1.0 / (1.0 + std::exp(-a * arg[1]));
    case 20: return a == 0.0 ? 1.0 : 0.0;
    case 21: return a > arg[1] ? 1.0 : 0.0;
    case 22: return a < arg[1] ? 1.0 : 0.0;
    case 23: return a == arg[1] ? 1.0 : 0.0;
    case 24: return a != 0.0 ? arg[1] : arg[2];
    default: return 0.0;
  }
}

// Binary operator `code` (an ArithCode) of a and b.
static inline double EelArith(uint8_t code, double a, double b) {
  switch (code) {
    case kAdd: return a + b;
    case kSub: return a - b;
    case kMul: return a * b;
    case kDiv: return b == 0.0 ? 0.0 : a / b;
    case kMod: {
      const int32_t x = SaturatingInt32(a);
      const int32_t y = SaturatingInt32(b);
      // Any remainder by -1 is 0; computing it would trap for INT32_MIN.
      if (y == 0 || y == -1) return 0.0;
      return static_cast<double>(x % y);
    }
    case kAnd: return static_cast<double>(SaturatingInt32(a) & SaturatingInt32(b));
    case kOr: return static_cast<double>(SaturatingInt32(a) | SaturatingInt32(b));
    default: return a;
  }
}

}  // namespace halvex::vis
