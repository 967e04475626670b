#include "core/dsp/deep_field/band_balance.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/test_signals.h"

namespace halvex {
namespace {

// The block (on this machine the AVX2 kernel, with whole-vector roots and min/max) against the
// portable frame path, bit for bit: through uneven channels that move the gains, silence that
// holds them, and a level whose powers overflow, where the clamps meet infinities and NaN.
TEST(BandBalance, BlockMatchesFrameByFrameBitForBit) {
  constexpr size_t kB = BandBalance::kBlock;
  auto frame = std::make_unique<BandBalance>();
  auto block = std::make_unique<BandBalance>();
  frame->Configure();
  block->Configure();
  uint32_t seed = 3;
  for (size_t n = 0; n < 400; ++n) {
    const size_t stretch = n / 50;
    const float level = stretch == 3 ? 0.0f : stretch == 7 ? 1e25f : 1.0f;
    std::array<float, kB> left{}, right{};
    for (size_t i = 0; i < kB; ++i) {
      seed = test::LcgStep(seed);
      left[i] = level * test::FullScaleFrom(seed);
      seed = test::LcgStep(seed);
      right[i] = (stretch % 2 == 0 ? 0.2f : 1.0f) * level * test::FullScaleFrom(seed);
    }
    std::array<float, kB> block_left = left, block_right = right;
    block->ProcessBlock(block_left.data(), block_right.data());
    for (size_t i = 0; i < kB; ++i) {
      const StereoSample expected = frame->Process(left[i], right[i]);
      ASSERT_EQ(std::memcmp(&expected.left, &block_left[i], sizeof(float)), 0) << n << " " << i;
      ASSERT_EQ(std::memcmp(&expected.right, &block_right[i], sizeof(float)), 0) << n << " " << i;
    }
  }
}

}  // namespace
}  // namespace halvex
