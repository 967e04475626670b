// Acceptance rules for a configuration record and for output device names.
#pragma once

#include <string>

#include "core/config/config_defaults.h"

namespace halvex {

// Longest accepted output device name, in bytes.
inline constexpr std::size_t kMaxDeviceNameLength = 128;

// Empty, or at most 128 bytes of ASCII letters, digits, '.', '_', '-' and ':'.
bool IsSafeDeviceName(const std::string& name, std::string& error);

// 0, or a power of two from 64 to 8192.
bool IsValidQuantum(int64_t frames);
// The refusal of a frame count, ending in `text`.
std::string QuantumError(const std::string& text);

// True if every rule of the key table holds; otherwise `error` gets the first failing rule's
// message. Never changes or clamps the record; NaN fails every range check.
bool ValidateConfig(const ProcessorConfig& config, std::string& error);

}  // namespace halvex
