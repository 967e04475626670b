#include "vis/host_lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace halvex::vis {
namespace {

constexpr uint32_t kWidth = 64;
constexpr uint32_t kHeight = 32;
constexpr std::size_t kGuard = 64;  // bytes either side that no segment may touch

// A grey BGRX picture between guard bytes.
struct Canvas {
  explicit Canvas(uint8_t grey = 0) : grey(grey), bytes(kGuard * 2 + kWidth * kHeight * 4, 0x5a) {
    std::fill_n(bytes.begin() + kGuard, kWidth * kHeight * 4, grey);
  }
  const uint8_t* At(uint32_t x, uint32_t y) const {
    return bytes.data() + kGuard + (std::size_t{y} * kWidth + x) * 4;
  }
  Canvas& Draw(const std::vector<DrawVertex>& strip) {
    BlendLineStrip(strip.data(), strip.size(), bytes.data() + kGuard, kWidth * 4, kWidth, kHeight);
    return *this;
  }
  int Touched() const {
    int count = 0;
    for (uint32_t i = 0; i < kWidth * kHeight; ++i) {
      const uint8_t* p = At(i % kWidth, i / kWidth);
      count += p[0] != grey || p[1] != grey || p[2] != grey;
    }
    return count;
  }
  bool GuardsIntact() const {
    return std::all_of(bytes.begin(), bytes.begin() + kGuard,
                       [](uint8_t b) { return b == 0x5a; }) &&
           std::all_of(bytes.end() - kGuard, bytes.end(), [](uint8_t b) { return b == 0x5a; });
  }
  uint8_t grey;
  std::vector<uint8_t> bytes;
};

// A point at a pixel's centre, or at clip coordinates when `clip`.
DrawVertex At(float x, float y, float r, float g, float b, float a, bool clip = false) {
  if (!clip) {
    x = (x + 0.5f) / kWidth * 2.0f - 1.0f;
    y = (y + 0.5f) / kHeight * 2.0f - 1.0f;
  }
  return DrawVertex{x, y, r, g, b, a};
}

TEST(HostLines, OpaqueLinesCoverOnePixelPerStepInBgrx) {
  const Canvas across = Canvas().Draw({At(-1, 10, 1, 0, 0, 1), At(kWidth, 10, 1, 0, 0, 1)});
  for (uint32_t x = 0; x < kWidth; ++x) ASSERT_EQ(across.At(x, 10)[2], 255) << x;  // red
  EXPECT_EQ(across.Touched(), static_cast<int>(kWidth));

  const Canvas down = Canvas().Draw({At(5, -1, 0, 0, 1, 1), At(5, kHeight, 0, 0, 1, 1)});
  for (uint32_t y = 0; y < kHeight; ++y) ASSERT_EQ(down.At(5, y)[0], 255) << y;  // blue
  EXPECT_EQ(down.Touched(), static_cast<int>(kHeight));

  // The end pixel is left for the strip's next segment.
  const Canvas diagonal = Canvas().Draw({At(2, 2, 0, 1, 0, 1), At(20, 20, 0, 1, 0, 1)});
  for (uint32_t i = 2; i < 20; ++i) ASSERT_EQ(diagonal.At(i, i)[1], 255) << i;
  EXPECT_EQ(diagonal.Touched(), 18);
}

TEST(HostLines, BlendsByAlphaAndSkipsTransparentJoins) {
  const Canvas half = Canvas(100).Draw({At(-1, 4, 1, 1, 1, 0.5f), At(kWidth, 4, 1, 1, 1, 0.5f)});
  EXPECT_EQ(half.At(30, 4)[1], 178);  // 255 · 0.5 + 100 · 0.5, rounded
  EXPECT_EQ(half.At(30, 5)[1], 100);

  // Two strokes joined by alpha-0 points, as the title card's strips are.
  const Canvas strokes =
      Canvas().Draw({At(0, 2, 1, 1, 1, 1), At(10, 2, 1, 1, 1, 1), At(10, 2, 1, 1, 1, 0),
                     At(0, 20, 1, 1, 1, 0), At(0, 20, 1, 1, 1, 1), At(10, 20, 1, 1, 1, 1)});
  EXPECT_EQ(strokes.Touched(), 20);
}

TEST(HostLines, BadCoordinatesAndColoursStayInsideThePicture) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const Canvas canvas =
      Canvas().Draw({At(-1e30f, 3, 1, 1, 1, 1), At(1e30f, 3, 1, 1, 1, 1), At(3, 1e30f, 1, 1, 1, 1),
                     At(nan, 0, 1, 1, 1, 1, true), At(0, inf, 1, 1, 1, 1, true),
                     At(-5, -5, nan, 2, -1, 1, true), At(5, 5, nan, 2, -1, 1, true)});
  EXPECT_TRUE(canvas.GuardsIntact());
  EXPECT_EQ(canvas.At(40, 3)[0], 255) << "the visible part of a far line";
  // The line through the whole picture: NaN red counts as none, the others clamped.
  EXPECT_EQ(canvas.At(16, 8)[0], 0);
  EXPECT_EQ(canvas.At(16, 8)[1], 255);
  EXPECT_EQ(canvas.At(16, 8)[2], 0);
}

}  // namespace
}  // namespace halvex::vis
