// The renderer's shaders as SPIR-V words, compiled from the GLSL beside this file at build time.
#pragma once

#include <cstdint>

namespace halvex::vis {

inline constexpr uint32_t kWarpVertSpv[] = {
#include "warp.vert.spv.inc"
};
inline constexpr uint32_t kWarpFragSpv[] = {
#include "warp.frag.spv.inc"
};
inline constexpr uint32_t kDrawVertSpv[] = {
#include "draw.vert.spv.inc"
};
inline constexpr uint32_t kDrawFragSpv[] = {
#include "draw.frag.spv.inc"
};
inline constexpr uint32_t kCompositeVertSpv[] = {
#include "composite.vert.spv.inc"
};
inline constexpr uint32_t kCompositeFragSpv[] = {
#include "composite.frag.spv.inc"
};
inline constexpr uint32_t kShapeVertSpv[] = {
#include "shape.vert.spv.inc"
};
inline constexpr uint32_t kShapeFragSpv[] = {
#include "shape.frag.spv.inc"
};
inline constexpr uint32_t kDotsVertSpv[] = {
#include "dots.vert.spv.inc"
};
inline constexpr uint32_t kUpscaleFragSpv[] = {
#include "upscale.frag.spv.inc"
};
inline constexpr uint32_t kWarpGridVertSpv[] = {
#include "warp_grid.vert.spv.inc"
};
inline constexpr uint32_t kWarpGridFragSpv[] = {
#include "warp_grid.frag.spv.inc"
};

}  // namespace halvex::vis
