#include "vis/host_lines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace halvex::vis {
namespace {

constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 32;
constexpr std::size_t kGuard = 64;  // bytes either side that no segment may touch

// A BGRX canvas filled with one grey, inside guard bytes.
struct Canvas {
  explicit Canvas(uint8_t grey = 0) : bytes(kGuard * 2 + kWidth * kHeight * 4, 0x5a) {
    for (std::size_t i = 0; i < kWidth * kHeight * 4; ++i) bytes[kGuard + i] = grey;
  }
  uint8_t* pixels() { return bytes.data() + kGuard; }
  const uint8_t* At(uint32_t x, uint32_t y) const {
    return bytes.data() + kGuard + (std::size_t{y} * kWidth + x) * 4;
  }
  void Draw(const std::vector<DrawVertex>& strip) {
    BlendLineStrip(strip.data(), strip.size(), pixels(), kWidth * 4, kWidth, kHeight);
  }
  int Touched(uint8_t grey) const {
    int count = 0;
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const uint8_t* p = At(x, y);
        count += p[0] != grey || p[1] != grey || p[2] != grey;
      }
    }
    return count;
  }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (bytes[i] != 0x5a || bytes[bytes.size() - 1 - i] != 0x5a) return false;
    }
    return true;
  }
  std::vector<uint8_t> bytes;
};

// Clip coordinates of a pixel centre.
float ClipX(float x) { return (x + 0.5f) / kWidth * 2.0f - 1.0f; }
float ClipY(float y) { return (y + 0.5f) / kHeight * 2.0f - 1.0f; }

DrawVertex Point(float x, float y, float r, float g, float b, float a) {
  return DrawVertex{x, y, r, g, b, a};
}

TEST(HostLines, OpaqueLinesCoverOnePixelPerStepInBgrx) {
  Canvas across;
  across.Draw({Point(-1.0f, ClipY(10), 1, 0, 0, 1), Point(1.0f, ClipY(10), 1, 0, 0, 1)});
  for (uint32_t x = 0; x < kWidth; ++x) {
    ASSERT_EQ(across.At(x, 10)[2], 255) << x;  // red
    ASSERT_EQ(across.At(x, 10)[0], 0) << x;
  }
  EXPECT_EQ(across.Touched(0), static_cast<int>(kWidth));

  Canvas down;  // steep: one pixel per row, in its column
  down.Draw({Point(ClipX(5), -1.0f, 0, 0, 1, 1), Point(ClipX(5), 1.0f, 0, 0, 1, 1)});
  for (uint32_t y = 0; y < kHeight; ++y) ASSERT_EQ(down.At(5, y)[0], 255) << y;  // blue
  EXPECT_EQ(down.Touched(0), static_cast<int>(kHeight));

  Canvas diagonal;  // from pixel (2, 2) to (20, 20): the end is left for the next segment
  diagonal.Draw({Point(ClipX(2), ClipY(2), 0, 1, 0, 1), Point(ClipX(20), ClipY(20), 0, 1, 0, 1)});
  for (uint32_t i = 2; i < 20; ++i) ASSERT_EQ(diagonal.At(i, i)[1], 255) << i;
  EXPECT_EQ(diagonal.Touched(0), 18);
}

TEST(HostLines, BlendsByAlphaAndSkipsTransparentJoins) {
  Canvas half(100);
  half.Draw({Point(-1.0f, ClipY(4), 1, 1, 1, 0.5f), Point(1.0f, ClipY(4), 1, 1, 1, 0.5f)});
  EXPECT_EQ(half.At(30, 4)[1], 178);  // 255 · 0.5 + 100 · 0.5, rounded
  EXPECT_EQ(half.At(30, 5)[1], 100);

  // Two strokes joined by alpha-0 points, as the title card's strips are.
  Canvas strokes;
  strokes.Draw({Point(ClipX(0), ClipY(2), 1, 1, 1, 1), Point(ClipX(10), ClipY(2), 1, 1, 1, 1),
                Point(ClipX(10), ClipY(2), 1, 1, 1, 0), Point(ClipX(0), ClipY(20), 1, 1, 1, 0),
                Point(ClipX(0), ClipY(20), 1, 1, 1, 1), Point(ClipX(10), ClipY(20), 1, 1, 1, 1)});
  EXPECT_EQ(strokes.Touched(0), 20);
  EXPECT_EQ(strokes.At(0, 11)[0], 0) << "the join drew";
}

TEST(HostLines, BadCoordinatesAndColoursStayInsideThePicture) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Canvas canvas;
  canvas.Draw({Point(-1e30f, ClipY(3), 1, 1, 1, 1), Point(1e30f, ClipY(3), 1, 1, 1, 1),
               Point(ClipX(3), 1e30f, 1, 1, 1, 1), Point(nan, 0.0f, 1, 1, 1, 1),
               Point(0.0f, inf, 1, 1, 1, 1), Point(-5.0f, -5.0f, nan, 2.0f, -1.0f, 1),
               Point(5.0f, 5.0f, nan, 2.0f, -1.0f, 1)});
  EXPECT_TRUE(canvas.GuardsIntact());
  EXPECT_EQ(canvas.At(40, 3)[0], 255) << "the visible part of a far line";
  // The diagonal through the whole picture: NaN red counts as none, colours clamped.
  EXPECT_EQ(canvas.At(16, 8)[0], 0);
  EXPECT_EQ(canvas.At(16, 8)[1], 255);
  EXPECT_EQ(canvas.At(16, 8)[2], 0);
}

}  // namespace
}  // namespace halvex::vis
