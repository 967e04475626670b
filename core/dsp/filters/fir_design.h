// Windowed-sinc (Blackman) FIR low-pass design at the engine's fixed 48 kHz rate.
#pragma once

#include <array>
#include <cstddef>

namespace halvex {

inline constexpr size_t kFirMaxTaps = 256;

using FirCoeffs = std::array<float, kFirMaxTaps>;

// The first `taps` (at most 256; more are clamped) entries hold a linear-phase low-pass
// normalised to unity gain at DC, the rest are 0. cutoff_hz <= 0 gives all zeros; >= 24000 a
// unit impulse at (taps - 1) / 2. A single tap, too short for a window, is 1.
FirCoeffs WindowedSincLowpass(float cutoff_hz, size_t taps);

}  // namespace halvex
