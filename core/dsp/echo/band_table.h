// The echo widener's band table turned into filterbank edges, tap gains and tap delays.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/delay_limit.h"

namespace halvex {

inline constexpr size_t kMaxEchoBands = 32;
inline constexpr size_t kEchoTaps = 4;

using BandEdges = std::array<float, kMaxEchoBands + 1>;
using TapGains = std::array<float, kEchoTaps>;

// Edges from the rows' centre frequencies (at most the first 32 rows); returns the band count.
// Every edge is finite and in [0, 24000], whatever the rows hold.
size_t BuildBandEdges(const std::vector<BandParam>& bands, BandEdges& edges);

// tap_volumes scaled by widen_scale, taps 1 and 3 negated when polarity alternates.
TapGains BuildTapGains(const ProcessorConfig& config);

// A tap's delay in frames at 48 kHz, 0 (off) to kMaxDelayFrames.
size_t TapDelayFrames(float base_ms, float multiplier);

}  // namespace halvex
