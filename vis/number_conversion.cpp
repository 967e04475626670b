#include "vis/number_conversion.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace halvex::vis {

int32_t SaturatingInt32(double value) noexcept {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double ReadDouble(const char* text, char** end) noexcept {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text, end, c);
}

int64_t SaturatingInt64(double value) noexcept {
  if (std::isnan(value)) return 0;
  // 2^63 is the first double above every int64.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

uint64_t SaturatingUint64(double value) noexcept {
  if (std::isnan(value) || value <= 0.0) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

}  // namespace halvex::vis
