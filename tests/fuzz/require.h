// The fuzz targets' one check: a broken promise aborts, and libFuzzer keeps the input that did it.
#pragma once

#include <cstdlib>

inline void Require(bool condition) {
  if (!condition) std::abort();
}
