// The one sample rate the engine runs at: every filter, delay, ramp and modulation in it is
// designed for this rate, and the daemon and the offline renderer refuse or warn on others.
#pragma once

#include <cstdint>

namespace halvex {

inline constexpr int32_t kEngineRate = 48000;
// The same, for the float and double arithmetic of the kernels (exact in both).
inline constexpr float kEngineRateF = 48000.0f;
inline constexpr double kEngineRateD = 48000.0;

}  // namespace halvex
