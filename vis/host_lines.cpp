#include "vis/host_lines.h"

#include <algorithm>
#include <cmath>

namespace halvex::vis {

namespace {

// NaN counts as 0: no colour, or nothing drawn.
float Unit(float value) { return value > 0.0f ? std::min(value, 1.0f) : 0.0f; }

uint8_t Over(uint8_t under, float colour, float alpha) {
  const float mixed = Unit(colour) * alpha + (under / 255.0f) * (1.0f - alpha);
  return static_cast<uint8_t>(std::lround(mixed * 255.0f));
}

// One segment as a rasteriser steps it: every pixel centre along the longer axis from `from`
// (included) towards `to` (left for the next segment), the shorter axis rounded down to the
// pixel it falls in.
void Segment(const DrawVertex& from, const DrawVertex& to, uint8_t* pixels, std::size_t pitch,
             uint32_t width, uint32_t height) {
  if (!(from.a > 0.0f) && !(to.a > 0.0f)) return;
  const float x0 = (from.x + 1.0f) * 0.5f * static_cast<float>(width);
  const float y0 = (from.y + 1.0f) * 0.5f * static_cast<float>(height);
  const float x1 = (to.x + 1.0f) * 0.5f * static_cast<float>(width);
  const float y1 = (to.y + 1.0f) * 0.5f * static_cast<float>(height);
  if (!std::isfinite(x0) || !std::isfinite(y0) || !std::isfinite(x1) || !std::isfinite(y1)) {
    return;
  }
  const bool across = std::fabs(x1 - x0) >= std::fabs(y1 - y0);
  const float start = across ? x0 : y0;
  const float end = across ? x1 : y1;
  const float minor_start = across ? y0 : x0;
  const float minor_end = across ? y1 : x1;
  const auto major_size = static_cast<int64_t>(across ? width : height);
  const auto minor_size = static_cast<int64_t>(across ? height : width);
  if (start == end) return;
  // Centres c = i + 0.5 in [start, end) or (end, start]; only those inside the picture.
  const bool forward = end > start;
  float first = forward ? std::ceil(start - 0.5f) : std::floor(end - 0.5f) + 1.0f;
  float last = forward ? std::ceil(end - 0.5f) - 1.0f : std::floor(start - 0.5f);
  // Clamped while still floats: a coordinate far outside does not overflow the conversion.
  const auto limit = static_cast<float>(major_size);
  first = std::clamp(first, 0.0f, limit);
  last = std::clamp(last, -1.0f, limit - 1.0f);
  for (auto i = static_cast<int64_t>(first); i <= static_cast<int64_t>(last); ++i) {
    const float t = (static_cast<float>(i) + 0.5f - start) / (end - start);
    const float minor = minor_start + t * (minor_end - minor_start);
    if (!(minor >= 0.0f) || minor >= static_cast<float>(minor_size)) continue;
    const auto j = static_cast<int64_t>(minor);
    const float alpha = Unit(from.a + t * (to.a - from.a));
    if (!(alpha > 0.0f)) continue;
    const int64_t x = across ? i : j;
    const int64_t y = across ? j : i;
    uint8_t* pixel = pixels + static_cast<std::size_t>(y) * pitch + static_cast<std::size_t>(x) * 4;
    pixel[0] = Over(pixel[0], from.b + t * (to.b - from.b), alpha);
    pixel[1] = Over(pixel[1], from.g + t * (to.g - from.g), alpha);
    pixel[2] = Over(pixel[2], from.r + t * (to.r - from.r), alpha);
  }
}

}  // namespace

void BlendLineStrip(const DrawVertex* points, std::size_t count, uint8_t* pixels, std::size_t pitch,
                    uint32_t width, uint32_t height) {
  for (std::size_t i = 1; i < count; ++i) {
    Segment(points[i - 1], points[i], pixels, pitch, width, height);
  }
}

}  // namespace halvex::vis
