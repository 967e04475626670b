#include "core/dsp/echo/steering.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "tests/support/test_signals.h"

namespace halvex {
namespace {

BandValues Fill(float value, size_t bands) {
  BandValues v{};
  for (size_t b = 0; b < bands; ++b) v[b] = value;
  return v;
}

TEST(BandSteering, InactiveKeepsEveryGainAtExactlyOne) {
  BandSteering steering;
  steering.Configure(0.0f, 0.0f, 15);
  EXPECT_FALSE(steering.active());
  test::UniformNoise<> noise;
  for (int i = 0; i < 5000; ++i) {
    BandValues l{};
    BandValues r{};
    for (size_t b = 0; b < 15; ++b) {
      l[b] = noise();
      r[b] = b % 2 ? 0.0f : -l[b];
    }
    steering.Update(l, r);
  }
  for (size_t b = 0; b < 15; ++b) {
    EXPECT_EQ(steering.gain_left()[b], 1.0f);
    EXPECT_EQ(steering.gain_right()[b], 1.0f);
  }
}

TEST(BandSteering, OneSidedBandLeansFurtherAndGetsDiffuseWidening) {
  BandSteering steering;
  steering.Configure(0.5f, 0.3f, 3);  // exponent 2.5
  steering.Update(Fill(1.0f, 3), Fill(0.0f, 3));
  for (size_t b = 0; b < 3; ++b) {
    EXPECT_NEAR(steering.target_left()[b], std::sqrt(1.0f / 0.999f) * 1.3f, 1e-4f);
    EXPECT_NEAR(steering.target_left()[b], 1.3007f, 1e-4f);
    EXPECT_EQ(steering.target_right()[b], 0.25f);
  }
  // Bands beyond the configured count are never steered.
  EXPECT_EQ(steering.target_left()[3], 1.0f);
}

TEST(BandSteering, CentredAndSilentBands) {
  BandSteering steering;
  steering.Configure(0.5f, 0.3f, 2);
  BandValues l{};
  BandValues r{};
  l[0] = 0.5f;
  r[0] = 0.5f;  // centred, fully correlated: no change
  steering.Update(l, r);
  EXPECT_NEAR(steering.target_left()[0], 1.0f, 1e-6f);
  EXPECT_NEAR(steering.target_right()[0], 1.0f, 1e-6f);
  EXPECT_EQ(steering.target_left()[1], 1.0f);  // silent band
  EXPECT_EQ(steering.target_right()[1], 1.0f);

  steering.Reset();
  r[0] = -0.5f;  // centred but anti-phase: full widening
  steering.Update(l, r);
  EXPECT_NEAR(steering.target_left()[0], 1.3f, 1e-5f);
  EXPECT_NEAR(steering.target_right()[0], 1.3f, 1e-5f);
}

TEST(BandSteering, TargetsRefreshOnFirstFrameThenEverySixtyFourth) {
  BandSteering steering;
  steering.Configure(0.5f, 0.3f, 1);
  steering.Update(Fill(1.0f, 1), Fill(0.0f, 1));
  const float first_left = steering.target_left()[0];
  ASSERT_GT(first_left, 1.2f);
  for (int frame = 2; frame <= 64; ++frame) {
    steering.Update(Fill(0.0f, 1), Fill(1.0f, 1));
    ASSERT_EQ(steering.target_left()[0], first_left) << "frame " << frame;
  }
  steering.Update(Fill(0.0f, 1), Fill(1.0f, 1));  // frame 65: now leaning right
  EXPECT_LT(steering.target_left()[0], 1.0f);
  EXPECT_GT(steering.target_right()[0], 1.0f);
}

}  // namespace
}  // namespace halvex
