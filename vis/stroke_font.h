// A built-in stroke font for titles: upper-case letters, digits and a little punctuation as line
// strokes on a 4 x 6 grid, laid out centred in clip space.
#pragma once

#include <string>
#include <vector>

namespace halvex::vis {

// A point of a glyph (x 0..1 across the cell, y 0..1 upward) or, after layout, of clip space.
struct FontPoint {
  float x = 0.0f;
  float y = 0.0f;
};

// One pen-down line; a glyph is a few of these.
using Stroke = std::vector<FontPoint>;

// The strokes of `c` (lower case is drawn with the upper-case glyph); none for a character the
// font lacks.
std::vector<Stroke> GlyphStrokes(char c);

// `text` in strokes of clip space (y down), centred on x with its middle at y, glyphs `height`
// tall and square cells corrected for `aspect` (width / height). A text wider than `max_width`
// is scaled down to fit. A space is 0.55 of a cell; any other character the font lacks (a UTF-8
// character counts once) leaves an empty cell.
std::vector<Stroke> LayoutText(const std::string& text, float x, float y, float height,
                               float max_width, float aspect);

}  // namespace halvex::vis
