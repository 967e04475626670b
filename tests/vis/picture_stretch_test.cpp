#include "vis/picture_stretch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace halvex::vis {
namespace {

// What a linear sampler with clamped edges returns for output pixel `i` of `to` along one
// axis of `from` texels: the neighbours and the far one's weight, in exact arithmetic.
void Axis(uint32_t i, uint32_t from, uint32_t to, uint32_t& near, uint32_t& far, double& w) {
  const double at = (i + 0.5) * from / to - 0.5;
  const auto below = static_cast<int64_t>(std::floor(at));
  w = at - std::floor(at);
  near = static_cast<uint32_t>(std::clamp<int64_t>(below, 0, from - 1));
  far = static_cast<uint32_t>(std::clamp<int64_t>(below + 1, 0, from - 1));
}

// Larger, smaller, one texel wide or high, the same size, the software device's usual 0.375
// of 1280x720; rows padded as a device pads them.
TEST(PictureStretch, FiltersAsALinearSamplerInBgrxAndLeavesRowPaddingAlone) {
  struct Case {
    uint32_t from_width, from_height, to_width, to_height;
    std::size_t from_pad, to_pad;
    double tolerance;  // 8-bit weights on both axes and one rounding: under two steps
  };
  const Case cases[] = {
      {480, 270, 1280, 720, 0, 0, 2.0},  {3, 2, 7, 5, 8, 12, 2.0},   {1, 1, 4, 3, 0, 4, 2.0},
      {5, 1, 9, 2, 4, 0, 2.0},           {1, 6, 3, 11, 0, 0, 2.0},   {8, 8, 3, 3, 0, 0, 2.0},
      {375, 125, 1001, 333, 20, 4, 2.0}, {33, 7, 33, 7, 12, 0, 0.0},  // the same size: exact
  };
  std::mt19937 random(7);
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.from_width) + "x" + std::to_string(c.from_height) +
                             " to " + std::to_string(c.to_width) + "x" +
                             std::to_string(c.to_height);
    const std::size_t from_pitch = std::size_t{c.from_width} * 4 + c.from_pad;
    const std::size_t to_pitch = std::size_t{c.to_width} * 4 + c.to_pad;
    std::vector<uint8_t> from(from_pitch * c.from_height);
    for (uint8_t& byte : from) byte = static_cast<uint8_t>(random());
    std::vector<uint8_t> to(to_pitch * c.to_height, 0xab);
    PictureStretch stretch;
    stretch.Configure(c.from_width, c.from_height, c.to_width, c.to_height);
    stretch.Run(from.data(), from_pitch, to.data(), to_pitch);
    double worst = 0.0;
    for (uint32_t y = 0; y < c.to_height; ++y) {
      uint32_t y0, y1, x0, x1;
      double wy, wx;
      Axis(y, c.from_height, c.to_height, y0, y1, wy);
      for (uint32_t x = 0; x < c.to_width; ++x) {
        Axis(x, c.from_width, c.to_width, x0, x1, wx);
        for (int channel = 0; channel < 4; ++channel) {
          const int source = channel == 3 ? 3 : 2 - channel;  // BGRX from RGBA
          const auto texel = [&](uint32_t tx, uint32_t ty) {
            return static_cast<double>(from[ty * from_pitch + tx * 4 + std::size_t(source)]);
          };
          const double expected = (texel(x0, y0) * (1 - wx) + texel(x1, y0) * wx) * (1 - wy) +
                                  (texel(x0, y1) * (1 - wx) + texel(x1, y1) * wx) * wy;
          worst = std::max(worst, std::fabs(to[y * to_pitch + x * 4 + channel] - expected));
        }
      }
      for (std::size_t pad = std::size_t{c.to_width} * 4; pad < to_pitch; ++pad) {
        ASSERT_EQ(to[y * to_pitch + pad], 0xab) << what << ": row padding written";
      }
    }
    if (c.tolerance == 0.0) {
      EXPECT_EQ(worst, 0.0) << what;
    } else {
      EXPECT_LT(worst, c.tolerance) << what;
    }
  }
}

}  // namespace
}  // namespace halvex::vis
