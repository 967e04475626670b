#include "core/dsp/portable_math.h"

#include <gtest/gtest.h>

#include <numbers>

namespace halvex {
namespace {

TEST(Atan2, TakesTheQuadrantFromBothSigns) {
  constexpr float pi = std::numbers::pi_v<float>;
  EXPECT_FLOAT_EQ(Atan2(1.0f, 1.0f), pi / 4);
  EXPECT_FLOAT_EQ(Atan2(1.0f, -1.0f), 3 * pi / 4);
  EXPECT_FLOAT_EQ(Atan2(-1.0f, -1.0f), -3 * pi / 4);
  EXPECT_FLOAT_EQ(Atan2(-1.0f, 1.0f), -pi / 4);
  EXPECT_FLOAT_EQ(Atan2(1.0f, 0.0f), pi / 2);
  EXPECT_EQ(Atan2(0.0f, 2.0f), 0.0f);
}

TEST(GeometricMean, IsTheSquareRootOfTheProduct) {
  EXPECT_FLOAT_EQ(GeometricMean(100.0f, 400.0f), 200.0f);
  EXPECT_FLOAT_EQ(GeometricMean(120.0f, 120.0f), 120.0f);
  EXPECT_EQ(GeometricMean(0.0f, 5000.0f), 0.0f);
}

}  // namespace
}  // namespace halvex
