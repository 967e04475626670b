// Which preset names may become file names in the presets folder.
#pragma once

#include <cstddef>
#include <string>

namespace halvex {

inline constexpr std::size_t kMaxPresetNameBytes = 64;

// 1 to 64 ASCII letters, digits, '-', '_' or '.', not starting with '.': such a name can never
// leave its folder, hide, or break a protocol line.
bool IsValidPresetName(const std::string& name);

}  // namespace halvex
