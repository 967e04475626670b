// Fixed text names of the spatial algorithms and render targets.
#pragma once

#include <string_view>

#include "core/config/config_defaults.h"

namespace halvex {

// The table name of `algorithm`; values outside the table give "echo_widener".
const char* SpatialAlgorithmName(SpatialAlgorithm algorithm);

// Exact, case-sensitive match against the table; `out` is untouched on failure.
bool ParseSpatialAlgorithm(std::string_view text, SpatialAlgorithm& out);

// All algorithm names, quoted, for error messages.
const char* SpatialAlgorithmNames();

// "headphones" for 1, "speakers" for every other value.
const char* RenderTargetName(RenderTarget target);

// Accepts exactly "speakers" or "headphones"; `out` is untouched on failure.
bool ParseRenderTarget(std::string_view text, RenderTarget& out);

// Both render target names, quoted, for error messages.
const char* RenderTargetNames();

}  // namespace halvex
