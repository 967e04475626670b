// The failure form of this library's operations: one line in the caller's error string.
#pragma once

#include <string>
#include <utility>

namespace halvex {

// Sets `error` to `message` and returns false, so a check reads `return Fail(error, "...")`.
inline bool Fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

}  // namespace halvex
