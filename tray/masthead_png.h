// The masthead logotype as PNG bytes, generated at build time from packaging/icons/halvex-logotype.svg.
#pragma once

#include <cstddef>

namespace halvex {

extern const unsigned char kMastheadPng[];
extern const std::size_t kMastheadPngSize;

}  // namespace halvex
