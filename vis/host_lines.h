// Line strips drawn by the host over a finished picture: the title card over a software
// device's frame, which the host has already stretched to the window's size. Drawn as the
// device draws them: one pixel wide, colours interpolated along each segment, alpha-blended.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vis/draw_types.h"

namespace halvex::vis {

// Blends the strip `points` (clip space, x right, y down) over `width` × `height` BGRX pixels
// with rows `pitch` bytes apart. Segments with both ends transparent or with a coordinate that
// is not finite draw nothing; only pixels inside the picture are touched.
void BlendLineStrip(const DrawVertex* points, std::size_t count, uint8_t* pixels, std::size_t pitch,
                    uint32_t width, uint32_t height);

}  // namespace halvex::vis
