// The one text form of a number on the control protocol, independent of the
// process locale.
#pragma once

#include <string>

namespace halvex {

// Like printf "%.6g" in the "C" locale: 0.5 -> "0.5", 1234567 -> "1.23457e+06".
std::string FormatNumber(float value);

// Whole-text float parse in the "C" rules; ',' is read as '.', "inf" and
// "nan" are accepted, no blanks, '+' or hex. `out` is untouched on failure.
bool ParseNumber(const std::string& text, float& out);

}  // namespace halvex
