#include "vis/number_conversion.h"

#include <locale.h>

#include <cstdlib>

namespace halvex::vis {

double ReadDouble(const char* text, char** end) noexcept {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text, end, c);
}

}  // namespace halvex::vis
