#include "core/dsp/kit/portable_math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

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

// Both sines against the library's over their whole domains, and each vector form against its
// scalar form bit for bit (the kernels rely on that for block-size independence).
TEST(PortableSin, FollowsTheLibrarySineAndItsBlockFormGivesTheSameBits) {
  constexpr size_t kPoints = 4096;
  std::vector<float> phase(kPoints), block(kPoints);
  for (size_t i = 0; i < kPoints; ++i) {
    phase[i] = static_cast<float>(i) * (6.2831855f + 0.01f) / static_cast<float>(kPoints - 1);
  }
  PortableSinBlock(phase.data(), block.data(), kPoints);
  for (size_t i = 0; i < kPoints; ++i) {
    const float one = PortableSin(phase[i]);
    ASSERT_EQ(block[i], one) << phase[i];
    ASSERT_NEAR(one, std::sin(static_cast<double>(phase[i])), 1e-7) << phase[i];
  }
}

TEST(PortableSinHalfTurn, FollowsTheLibrarySineAndItsVectorFormGivesTheSameBits) {
  constexpr float half_pi = std::numbers::pi_v<float> / 2;
  for (int i = -1000; i <= 1000; i += 4) {
    const Float4 x = {half_pi * i / 1000.0f, half_pi * (i + 1) / 1000.0f,
                      half_pi * (i + 2) / 1000.0f, half_pi * (i + 3) / 1000.0f};
    const Float4 y = PortableSinHalfTurn(x);
    for (int k = 0; k < 4 && i + k <= 1000; ++k) {
      ASSERT_EQ(y[k], PortableSinHalfTurn(x[k])) << x[k];
      ASSERT_NEAR(y[k], std::sin(static_cast<double>(x[k])), 2e-7) << x[k];
    }
  }
}

// The renderer's exp, sine and cosine: near the library's over the arguments its kernels meet and
// beyond, and eight lanes at once give each lane the scalar form's bits (block and bin-by-bin
// renders rely on that).
TEST(PortableExpAndSinCos, FollowTheLibraryAndTheirVectorFormsGiveTheSameBits) {
  for (int i = -4000; i < 4000; i += 8) {
    Float8 x;
    for (int k = 0; k < 8; ++k) x[k] = static_cast<float>(i + k) * 0.0123f;  // about +-49
    Float8 e, s, c;
    PortableExp(x, e);
    PortableSinCos(x, s, c);
    for (int k = 0; k < 8; ++k) {
      const double xd = x[k];
      ASSERT_EQ(e[k], PortableExp(x[k])) << x[k];
      ASSERT_NEAR(e[k] / std::exp(xd), 1.0, 5e-7) << x[k];
      float s1, c1;
      PortableSinCos(x[k], s1, c1);
      ASSERT_EQ(s[k], s1) << x[k];
      ASSERT_EQ(c[k], c1) << x[k];
      ASSERT_NEAR(s1, std::sin(xd), 3e-7) << x[k];
      ASSERT_NEAR(c1, std::cos(xd), 3e-7) << x[k];
    }
  }
  // e^0 is exactly 1 (a depth of 1 must scale nothing); far arguments saturate, not wrap.
  EXPECT_EQ(PortableExp(0.0f), 1.0f);
  EXPECT_EQ(PortableExp(-1000.0f), PortableExp(-87.0f));
  EXPECT_GT(PortableExp(-87.0f), 0.0f);
  EXPECT_EQ(PortableExp(1000.0f), PortableExp(88.0f));
  EXPECT_TRUE(std::isfinite(PortableExp(88.0f)));
}

}  // namespace
}  // namespace halvex
