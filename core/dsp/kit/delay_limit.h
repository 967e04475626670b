// The longest delay the engine's delay lines hold: the bound of the output stage's Haas delay
// and of the echo taps. Far past the Haas zone that validation allows (kHaasLimitMs, 1200
// frames), so it only bounds settings that were never validated.
#pragma once

#include <cstddef>

namespace halvex {

// Delay lines are this long so that indices wrap with a mask.
inline constexpr size_t kDelayLineFrames = 2048;
// A delay of the full length would read the slot just written.
inline constexpr size_t kMaxDelayFrames = kDelayLineFrames - 1;

}  // namespace halvex
