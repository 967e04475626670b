#include "vis/stroke_font.h"

#include <array>
#include <cstdint>
#include <iterator>
#include <utility>

namespace halvex::vis {

namespace {

constexpr uint8_t Up = 255;   // the pair (Up, Up) lifts the pen
constexpr uint8_t End = 254;  // ends the glyph
constexpr float kGridWidth = 4.0f;
constexpr float kGridHeight = 6.0f;
constexpr float kSpaceCell = 0.55f;

struct Glyph {
  char character;
  std::array<uint8_t, 33> strokes;  // (x, y) pairs on the 0..4 x 0..6 grid, y upward
};

// Pairs of grid points stay grouped by hand.
// clang-format off
constexpr Glyph kGlyphs[] = {
    {'A', {0,0, 0,4, 2,6, 4,4, 4,0, Up, Up, 0,2, 4,2, End}},
    {'B', {0,0, 0,6, 3,6, 4,5, 4,4, 3,3, 0,3, Up, Up, 3,3, 4,2, 4,1, 3,0, 0,0, End}},
    {'C', {4,5, 3,6, 1,6, 0,5, 0,1, 1,0, 3,0, 4,1, End}},
    {'D', {0,0, 0,6, 3,6, 4,5, 4,1, 3,0, 0,0, End}},
    {'E', {4,6, 0,6, 0,0, 4,0, Up, Up, 0,3, 3,3, End}},
    {'F', {4,6, 0,6, 0,0, Up, Up, 0,3, 3,3, End}},
    {'G', {4,5, 3,6, 1,6, 0,5, 0,1, 1,0, 3,0, 4,1, 4,3, 2,3, End}},
    {'H', {0,0, 0,6, Up, Up, 4,0, 4,6, Up, Up, 0,3, 4,3, End}},
    {'I', {1,0, 3,0, Up, Up, 2,0, 2,6, Up, Up, 1,6, 3,6, End}},
    {'J', {3,6, 3,1, 2,0, 1,0, 0,1, End}},
    {'K', {0,0, 0,6, Up, Up, 4,6, 0,3, 4,0, End}},
    {'L', {0,6, 0,0, 4,0, End}},
    {'M', {0,0, 0,6, 2,4, 4,6, 4,0, End}},
    {'N', {0,0, 0,6, 4,0, 4,6, End}},
    {'O', {1,0, 3,0, 4,1, 4,5, 3,6, 1,6, 0,5, 0,1, 1,0, End}},
    {'P', {0,0, 0,6, 3,6, 4,5, 4,4, 3,3, 0,3, End}},
    {'Q', {1,0, 3,0, 4,1, 4,5, 3,6, 1,6, 0,5, 0,1, 1,0, Up, Up, 2,2, 4,0, End}},
    {'R', {0,0, 0,6, 3,6, 4,5, 4,4, 3,3, 0,3, Up, Up, 2,3, 4,0, End}},
    {'S', {4,5, 3,6, 1,6, 0,5, 0,4, 1,3, 3,3, 4,2, 4,1, 3,0, 1,0, 0,1, End}},
    {'T', {0,6, 4,6, Up, Up, 2,6, 2,0, End}},
    {'U', {0,6, 0,1, 1,0, 3,0, 4,1, 4,6, End}},
    {'V', {0,6, 2,0, 4,6, End}},
    {'W', {0,6, 1,0, 2,3, 3,0, 4,6, End}},
    {'X', {0,0, 4,6, Up, Up, 0,6, 4,0, End}},
    {'Y', {0,6, 2,3, 4,6, Up, Up, 2,3, 2,0, End}},
    {'Z', {0,6, 4,6, 0,0, 4,0, End}},
    {'0', {1,0, 3,0, 4,1, 4,5, 3,6, 1,6, 0,5, 0,1, 1,0, Up, Up, 0,1, 4,5, End}},
    {'1', {1,5, 2,6, 2,0, Up, Up, 1,0, 3,0, End}},
    {'2', {0,5, 1,6, 3,6, 4,5, 4,4, 0,0, 4,0, End}},
    {'3', {0,6, 4,6, 2,3, 4,2, 4,1, 3,0, 1,0, 0,1, End}},
    {'4', {3,0, 3,6, 0,2, 4,2, End}},
    {'5', {4,6, 0,6, 0,3, 3,3, 4,2, 4,1, 3,0, 1,0, 0,1, End}},
    {'6', {4,5, 3,6, 1,6, 0,5, 0,1, 1,0, 3,0, 4,1, 4,2, 3,3, 0,3, End}},
    {'7', {0,6, 4,6, 2,0, End}},
    {'8', {1,3, 0,4, 0,5, 1,6, 3,6, 4,5, 4,4, 3,3, 1,3, 0,2, 0,1, 1,0, 3,0, 4,1, 4,2, 3,3, End}},
    {'9', {0,1, 1,0, 3,0, 4,1, 4,5, 3,6, 1,6, 0,5, 0,4, 1,3, 4,3, End}},
    {'.', {2,0, 2,1, End}},
    {',', {2,1, 1,0, End}},
    {'\'', {2,6, 2,4, End}},
    {'"', {1,6, 1,4, Up, Up, 3,6, 3,4, End}},
    {'-', {1,3, 3,3, End}},
    {'_', {0,0, 4,0, End}},
    {'!', {2,6, 2,2, Up, Up, 2,0, 2,1, End}},
    {'?', {0,5, 1,6, 3,6, 4,5, 4,4, 2,3, 2,2, Up, Up, 2,0, 2,1, End}},
    {':', {2,4, 2,5, Up, Up, 2,1, 2,2, End}},
    {'(', {3,6, 1,4, 1,2, 3,0, End}},
    {')', {1,6, 3,4, 3,2, 1,0, End}},
    {'/', {0,0, 4,6, End}},
    {'&', {4,0, 1,4, 1,5, 2,6, 3,5, 3,4, 0,2, 0,1, 1,0, 2,0, 4,2, End}},
    {'+', {2,1, 2,5, Up, Up, 0,3, 4,3, End}},
    {'*', {2,1, 2,5, Up, Up, 0,2, 4,4, Up, Up, 0,4, 4,2, End}},
    {'~', {0,3, 4,3, End}},
};
// clang-format on
static_assert(std::size(kGlyphs) == 52);

const Glyph* FindGlyph(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Glyph& glyph : kGlyphs) {
    if (glyph.character == c) return &glyph;
  }
  return nullptr;
}

// A UTF-8 continuation byte belongs to the character before it and takes no cell of its own.
bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::vector<Stroke> GlyphStrokes(char c) {
  std::vector<Stroke> strokes;
  const Glyph* glyph = FindGlyph(c);
  if (glyph == nullptr) return strokes;
  Stroke stroke;
  const auto flush = [&] {
    if (stroke.size() >= 2) strokes.push_back(stroke);
    stroke.clear();
  };
  for (std::size_t i = 0; i + 1 < glyph->strokes.size() && glyph->strokes[i] != End; i += 2) {
    const uint8_t x = glyph->strokes[i];
    const uint8_t y = glyph->strokes[i + 1];
    if (x == Up && y == Up) {
      flush();
    } else {
      stroke.push_back({static_cast<float>(x) / kGridWidth, static_cast<float>(y) / kGridHeight});
    }
  }
  flush();
  return strokes;
}

std::vector<Stroke> LayoutText(const std::string& text, float x, float y, float height,
                               float max_width, float aspect) {
  std::vector<Stroke> out;
  float units = 0.0f;
  for (const char c : text) {
    if (!IsContinuation(c)) units += c == ' ' ? kSpaceCell : 1.0f;
  }
  if (units <= 0.0f || height <= 0.0f) return out;
  const float a = aspect > 0.01f ? aspect : 1.0f;
  const float width = height * units / a;
  if (width > max_width) height *= max_width / width;
  const float cell = height / a;
  float pen = x - units * 0.5f * cell;
  for (const char c : text) {
    if (IsContinuation(c)) continue;
    for (Stroke& stroke : GlyphStrokes(c)) {
      for (FontPoint& p : stroke) p = {p.x * cell + pen, y - (p.y - 0.5f) * height};
      out.push_back(std::move(stroke));
    }
    pen += c == ' ' ? kSpaceCell * cell : cell;
  }
  return out;
}

}  // namespace halvex::vis
