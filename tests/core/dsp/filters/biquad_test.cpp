#include "core/dsp/filters/biquad.h"

#include <cmath>

#include <gtest/gtest.h>

#include "core/dsp/limiter.h"

namespace halvex {
namespace {

TEST(Biquad, DefaultSectionPassesInputUnchanged) {
  Biquad q;
  for (float x : {0.0f, 1.0f, -0.25f, 1e-30f, 3.5f}) EXPECT_EQ(q.Process(x), x);
}

TEST(Biquad, ButterworthHighpassAtTenHertz) {
  Biquad q;
  q.SetButterworthHighpass(10.0f);
  EXPECT_NEAR(q.MagnitudeAt(10.0f), 0.70710678f, 1e-4f);
  EXPECT_NEAR(q.MagnitudeAt(1000.0f), 1.0f, 1e-4f);
  EXPECT_LT(q.MagnitudeAt(1.0f), 0.02f);
}

TEST(Biquad, ShelvesMatchTheirDesignFigures) {
  Biquad high;
  high.SetHighShelf(6766.0f, 6.0f);
  EXPECT_NEAR(high.MagnitudeAt(100.0f), 1.0f, 1e-4f);
  EXPECT_NEAR(high.MagnitudeAt(6766.0f), 1.4125f, 1e-3f);
  EXPECT_NEAR(high.MagnitudeAt(20000.0f), 1.9949f, 1e-3f);

  Biquad low;
  low.SetLowShelf(180.0f, -6.0206f);
  EXPECT_NEAR(low.MagnitudeAt(20.0f), 0.5001f, 1e-3f);
  EXPECT_NEAR(low.MagnitudeAt(180.0f), 0.7071f, 1e-3f);
  EXPECT_NEAR(low.MagnitudeAt(10000.0f), 1.0f, 1e-3f);
}

TEST(Biquad, ZeroGainShelfIsIdentity) {
  Biquad q;
  q.SetHighShelf(3000.0f, 0.0f);
  for (float hz : {50.0f, 3000.0f, 15000.0f}) EXPECT_NEAR(q.MagnitudeAt(hz), 1.0f, 1e-5f);
  EXPECT_NEAR(q.b0, 1.0f, 1e-6f);
  EXPECT_NEAR(q.b1, q.a1, 1e-6f);
  EXPECT_NEAR(q.b2, q.a2, 1e-6f);
}

TEST(Biquad, PeakingAndLowpassShapes) {
  Biquad peak;
  peak.SetPeaking(1000.0f, 6.0f, 1.0f);
  EXPECT_NEAR(Db(peak.MagnitudeAt(1000.0f)), 6.0f, 0.05f);
  EXPECT_NEAR(peak.MagnitudeAt(20.0f), 1.0f, 0.01f);

  Biquad lp;
  lp.SetLowpass(1000.0f, 0.70710678f);
  EXPECT_NEAR(lp.MagnitudeAt(1000.0f), 0.7071f, 1e-3f);
  EXPECT_NEAR(lp.MagnitudeAt(20.0f), 1.0f, 1e-3f);
}

TEST(Biquad, MeasuredResponseFollowsMagnitudeAt) {
  // Run a 1 kHz sine through a shelf and compare the steady-state amplitude with the formula.
  Biquad q;
  q.SetHighShelf(800.0f, -6.0f);
  float peak = 0.0f;
  for (int n = 0; n < 48000; ++n) {
    const float y = q.Process(std::sin(6.2831853f * 1000.0f * n / 48000.0f));
    if (n > 24000) peak = std::fmax(peak, std::fabs(y));
  }
  EXPECT_NEAR(peak, q.MagnitudeAt(1000.0f), 2e-3f);
}

TEST(Biquad, DesignsClearState) {
  Biquad q;
  q.SetLowpass(500.0f, 0.7f);
  q.Process(1.0f);
  ASSERT_NE(q.z1, 0.0f);
  q.SetLowpass(500.0f, 0.7f);
  EXPECT_EQ(q.z1, 0.0f);
  EXPECT_EQ(q.z2, 0.0f);
}

TEST(Decibels, ConvertsLinearGain) {
  EXPECT_NEAR(Db(0.5f), -6.0206f, 1e-4f);
  EXPECT_NEAR(Db(1.0f), 0.0f, 1e-7f);
  EXPECT_TRUE(std::isinf(Db(0.0f)) && Db(0.0f) < 0.0f);
}

TEST(SoftClipLimiter, CeilingKneeAndCurve) {
  SoftClipLimiter lim;
  EXPECT_EQ(lim.Process(2.0f), 1.0f);  // default: ceiling 1 at knee 1, no curve
  lim.SetCeiling(-0.3f);
  EXPECT_NEAR(lim.ceiling(), 0.96605086f, 1e-7f);
  EXPECT_NEAR(lim.knee(), 1.4490763f, 1e-6f);
  EXPECT_EQ(lim.Process(1.4490763f), lim.ceiling());
  EXPECT_EQ(lim.Process(100.0f), lim.ceiling());
  EXPECT_EQ(lim.Process(-1.4490763f), -lim.ceiling());
  EXPECT_NEAR(lim.Process(0.5f), 0.5f * (1.0f - 0.15874362f * 0.25f), 1e-6f);
  // Continuous at the knee and monotonic below it.
  EXPECT_NEAR(lim.Process(lim.knee() - 1e-4f), lim.ceiling(), 1e-6f);
  float prev = -1.0f;
  for (float x = -1.4f; x < 1.4f; x += 0.01f) {
    const float y = lim.Process(x);
    EXPECT_GT(y, prev);
    prev = y;
  }
}

}  // namespace
}  // namespace halvex
