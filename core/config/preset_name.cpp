#include "core/config/preset_name.h"

namespace halvex {

bool IsValidPresetName(const std::string& name) {
  if (name.empty() || name.size() > kMaxPresetNameBytes || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace halvex
