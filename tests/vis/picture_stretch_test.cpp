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

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::size_t pitch = 0;  // bytes; more than width * 4 where the test pads rows
  std::vector<uint8_t> bytes;

  uint8_t At(uint32_t x, uint32_t y, int channel) const {
    return bytes[y * pitch + x * 4 + static_cast<std::size_t>(channel)];
  }
};

Picture Noise(uint32_t width, uint32_t height, std::size_t padding, uint32_t seed) {
  Picture p{width, height, std::size_t{width} * 4 + padding, {}};
  p.bytes.resize(p.pitch * height);
  std::mt19937 random(seed);
  for (uint8_t& byte : p.bytes) byte = static_cast<uint8_t>(random());
  return p;
}

// What a linear sampler with clamped edges returns at pixel (x, y) of a `to`-sized output, in
// exact arithmetic: the reference the stretch is held to.
double Sampled(const Picture& from, uint32_t to_width, uint32_t to_height, uint32_t x,
               uint32_t y, int channel) {
  const auto axis = [](uint32_t i, uint32_t from_size, uint32_t to_size, int64_t& near,
                       int64_t& far, double& weight) {
    const double at = (i + 0.5) * from_size / to_size - 0.5;
    near = static_cast<int64_t>(std::floor(at));
    weight = at - std::floor(at);
    far = std::clamp<int64_t>(near + 1, 0, from_size - 1);
    near = std::clamp<int64_t>(near, 0, from_size - 1);
  };
  int64_t x0, x1, y0, y1;
  double wx, wy;
  axis(x, from.width, to_width, x0, x1, wx);
  axis(y, from.height, to_height, y0, y1, wy);
  const auto texel = [&](int64_t tx, int64_t ty) {
    return static_cast<double>(
        from.At(static_cast<uint32_t>(tx), static_cast<uint32_t>(ty), channel));
  };
  const double upper = texel(x0, y0) * (1 - wx) + texel(x1, y0) * wx;
  const double lower = texel(x0, y1) * (1 - wx) + texel(x1, y1) * wx;
  return upper * (1 - wy) + lower * wy;
}

// Larger, smaller, one texel wide or high, and the software device's usual 0.375 of 1280x720.
TEST(PictureStretch, FiltersAsALinearSamplerWithinTwoStepsAndSwapsRedAndBlue) {
  struct Case {
    uint32_t from_width, from_height, to_width, to_height;
    std::size_t from_padding, to_padding;
  };
  const Case cases[] = {
      {480, 270, 1280, 720, 0, 0}, {3, 2, 7, 5, 8, 12}, {1, 1, 4, 3, 0, 4},
      {5, 1, 9, 2, 4, 0},          {1, 6, 3, 11, 0, 0}, {8, 8, 3, 3, 0, 0},
      {375, 125, 1001, 333, 20, 4},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    const std::string what = std::to_string(c.from_width) + "x" + std::to_string(c.from_height) +
                             " to " + std::to_string(c.to_width) + "x" +
                             std::to_string(c.to_height);
    const Picture from = Noise(c.from_width, c.from_height, c.from_padding, seed++);
    Picture to{c.to_width, c.to_height, std::size_t{c.to_width} * 4 + c.to_padding, {}};
    to.bytes.assign(to.pitch * to.height, 0xab);
    PictureStretch stretch;
    stretch.Configure(c.from_width, c.from_height, c.to_width, c.to_height);
    stretch.Run(from.bytes.data(), from.pitch, to.bytes.data(), to.pitch);
    double worst = 0.0;
    for (uint32_t y = 0; y < to.height; ++y) {
      for (uint32_t x = 0; x < to.width; ++x) {
        for (int channel = 0; channel < 4; ++channel) {
          const int source = channel == 3 ? 3 : 2 - channel;  // BGRX from RGBA
          const double expected = Sampled(from, to.width, to.height, x, y, source);
          worst = std::max(worst, std::fabs(to.At(x, y, channel) - expected));
        }
      }
      for (std::size_t pad = to.width * 4; pad < to.pitch; ++pad) {
        ASSERT_EQ(to.bytes[y * to.pitch + pad], 0xab) << what << ": row padding written";
      }
    }
    // 8-bit weights on both axes and one rounding: under two steps from the exact value.
    EXPECT_LT(worst, 2.0) << what;
  }
}

TEST(PictureStretch, SameSizeCopiesExactlyWithRedAndBlueSwapped) {
  const Picture from = Noise(33, 7, 12, 9);
  Picture to{33, 7, 33 * 4, std::vector<uint8_t>(33 * 4 * 7)};
  PictureStretch stretch;
  stretch.Configure(33, 7, 33, 7);
  stretch.Run(from.bytes.data(), from.pitch, to.bytes.data(), to.pitch);
  for (uint32_t y = 0; y < 7; ++y) {
    for (uint32_t x = 0; x < 33; ++x) {
      ASSERT_EQ(to.At(x, y, 0), from.At(x, y, 2));
      ASSERT_EQ(to.At(x, y, 1), from.At(x, y, 1));
      ASSERT_EQ(to.At(x, y, 2), from.At(x, y, 0));
      ASSERT_EQ(to.At(x, y, 3), from.At(x, y, 3));
    }
  }
}

TEST(PictureStretch, ZeroSizeWritesNothing) {
  std::vector<uint8_t> from(64, 1);
  std::vector<uint8_t> to(64, 7);
  PictureStretch stretch;
  stretch.Configure(4, 4, 0, 3);
  stretch.Run(from.data(), 16, to.data(), 16);
  stretch.Configure(0, 4, 4, 4);
  stretch.Run(from.data(), 16, to.data(), 16);
  EXPECT_EQ(std::count(to.begin(), to.end(), 7), 64);
}

}  // namespace
}  // namespace halvex::vis
