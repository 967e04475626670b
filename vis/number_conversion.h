// Number conversions shared by the expression language and the preset and configuration
// files: defined for every input, and independent of the process locale.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace halvex::vis {

// Float-to-integer conversions: NaN gives 0; infinities and out-of-range values saturate; the
// rest truncate toward zero.
// Inline: the interpreters' integer operators call them in their inner loops.
inline int32_t SaturatingInt32(double value) noexcept {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}
inline int64_t SaturatingInt64(double value) noexcept {
  if (std::isnan(value)) return 0;
  // 2^63 is the first double above every int64.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}
inline uint64_t SaturatingUint64(double value) noexcept {
  if (std::isnan(value) || value <= 0.0) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}
// strtod in the "C" locale: number texts of the language and of preset files read the same
// whatever the process locale.
double ReadDouble(const char* text, char** end) noexcept;
// Double to float without an undefined conversion: beyond the float range gives an infinity.
inline float NarrowToFloat(double value) noexcept {
  constexpr double kMax = 3.4028234663852886e38;  // the largest float
  if (value > kMax) return __builtin_inff();
  if (value < -kMax) return -__builtin_inff();
  return static_cast<float>(value);
}
// std::clamp passes NaN through; a NaN that reaches the feedback image never fades out, so
// this maps it to the low end.
inline float ClampNanToLow(float value, float low, float high) noexcept {
  if (std::isnan(value)) return low;
  return std::min(std::max(value, low), high);
}

}  // namespace halvex::vis
