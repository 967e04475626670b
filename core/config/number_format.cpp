#include "core/config/number_format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <system_error>

namespace halvex {

std::string FormatNumber(float value) {
  // to_chars never consults the locale and matches "%.6g" of the C locale.
  std::array<char, 32> buffer{};
  const auto result =
      std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                    std::chars_format::general, 6);
  if (result.ec != std::errc()) return "0";
  return std::string(buffer.data(), result.ptr);
}

bool ParseNumber(const std::string& text, float& out) {
  if (text.empty()) return false;
  std::string copy = text;
  std::replace(copy.begin(), copy.end(), ',', '.');
  // from_chars would also take "nan(chars)"; only the bare words are ours.
  if (copy.find('(') != std::string::npos) return false;

  float value = 0.0f;
  const char* first = copy.data();
  const char* last = first + copy.size();
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec != std::errc() || result.ptr != last) return false;
  out = value;
  return true;
}

}  // namespace halvex
