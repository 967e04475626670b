#include "daemon/rt_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace halvex {
namespace {

constexpr int64_t kMs = 1000000;

// Runs one block of `length_ns` starting at `start`, returns whether the DSP was allowed.
bool Block(RtGuard& guard, int64_t start, int64_t length_ns) {
  const bool run = guard.BeginBlock(start);
  guard.EndBlock(start + length_ns);
  return run;
}

TEST(RtGuard, StartsActiveWithoutRamp) {
  RtGuard guard;
  EXPECT_TRUE(guard.BeginBlock(5 * kMs));
  std::vector<float> left(8, 0.75f), right(8, -0.25f);
  guard.SmoothTransition(left.data(), right.data(), 8);
  EXPECT_EQ(left, std::vector<float>(8, 0.75f));
  EXPECT_EQ(right, std::vector<float>(8, -0.25f));
  EXPECT_EQ(guard.EndBlock(7 * kMs), 2 * kMs);
  EXPECT_EQ(guard.EndBlock(1 * kMs), 0) << "a clock step backwards is clamped";
}

TEST(RtGuard, GivesWayAfterSixtyMillisecondsOfBackToBackBlocksAndRecoversAfterAGap) {
  RtGuard guard;
  int64_t t = 1000 * kMs;
  // Six blocks of 10 ms, 0.1 ms apart: 60 ms accumulated, the DSP still runs in each.
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(Block(guard, t, 10 * kMs)) << "block " << i;
    t += 10 * kMs + kMs / 10;
  }
  EXPECT_FALSE(Block(guard, t, kMs));
  EXPECT_EQ(guard.bursts.load(), 1u);
  EXPECT_EQ(guard.passed_through.load(), 1u);
  EXPECT_EQ(guard.fade_left, RtGuard::kRampLength);
  t += kMs + kMs / 10;
  EXPECT_FALSE(Block(guard, t, kMs));
  EXPECT_EQ(guard.bursts.load(), 1u) << "one episode is one burst";
  EXPECT_EQ(guard.passed_through.load(), 2u);

  // A gap just over 0.5 ms clears the budget; exactly 0.5 ms does not.
  t += kMs + RtGuard::kIdleGapNs;
  EXPECT_FALSE(Block(guard, t, kMs));
  t += kMs + RtGuard::kIdleGapNs + 1;
  guard.fade_left = 0;
  EXPECT_TRUE(Block(guard, t, kMs));
  EXPECT_EQ(guard.fade_left, RtGuard::kRampLength) << "switching back ramps too";

  // A second episode counts a second burst.
  t += kMs + kMs / 10;
  for (int i = 0; i < 60; ++i, t += kMs + kMs / 10) Block(guard, t, kMs);
  EXPECT_EQ(guard.bursts.load(), 2u);
}

TEST(RtGuard, LongBlocksWithIdleGapsNeverEngageRelief) {
  RtGuard guard;
  int64_t t = 0;
  for (int i = 0; i < 20; ++i) {
    EXPECT_TRUE(Block(guard, t, 100 * kMs));
    t += 100 * kMs + RtGuard::kIdleGapNs + 1;
  }
  EXPECT_EQ(guard.bursts.load(), 0u);
  EXPECT_EQ(guard.passed_through.load(), 0u);
}

TEST(RtGuard, RampRunsFromTheHeldSampleAcrossShortBlocks) {
  RtGuard guard;
  std::vector<float> left(100, 0.5f), right(100, 0.25f);
  guard.SmoothTransition(left.data(), right.data(), 100);  // holds 0.5 / 0.25
  guard.fade_left = RtGuard::kRampLength;                  // as after a switch

  // Steps toward -0.5 / 1.25 from the held values: held + (x - held) * n / 256.
  std::vector<float> ramp_l, ramp_r;
  for (int block = 0; block < 3; ++block) {
    std::vector<float> l(100, -0.5f), r(100, 1.25f);
    guard.SmoothTransition(l.data(), r.data(), 100);
    ramp_l.insert(ramp_l.end(), l.begin(), l.end());
    ramp_r.insert(ramp_r.end(), r.begin(), r.end());
    // The zero-frame block between them changes nothing.
    guard.SmoothTransition(nullptr, nullptr, 0);
  }
  // First block: a straight line from the held sample, t = n / 256.
  for (int n = 0; n < 100; ++n) {
    ASSERT_EQ(ramp_l[n], 0.5f - static_cast<float>(n) / 256.0f) << n;
    ASSERT_EQ(ramp_r[n], 0.25f + static_cast<float>(n) / 256.0f) << n;
  }
  // The next block resumes at t = 100 / 256, from the block's refreshed held sample.
  const float held = ramp_l[99];
  EXPECT_EQ(ramp_l[100], std::fmaf(-0.5f - held, 100.0f / 256.0f, held));
  for (int n = 100; n < 256; ++n) {
    ASSERT_LT(ramp_l[n], ramp_l[n - 1]) << n;
    ASSERT_GT(ramp_l[n], -0.5f) << n;
    ASSERT_GT(ramp_r[n], ramp_r[n - 1]) << n;
    ASSERT_LT(ramp_r[n], 1.25f) << n;
  }
  for (int n = 256; n < 300; ++n) {
    ASSERT_EQ(ramp_l[n], -0.5f);
    ASSERT_EQ(ramp_r[n], 1.25f);
  }
  EXPECT_EQ(guard.fade_left, 0u);
  EXPECT_EQ(guard.held_left, -0.5f);
  EXPECT_EQ(guard.held_right, 1.25f);
}

TEST(RtGuard, ZeroFrameBlockCountsForTheBudgetButKeepsRampAndHeldSamples) {
  RtGuard guard;
  guard.held_left = 0.3f;
  guard.held_right = -0.3f;
  guard.fade_left = 17;
  EXPECT_TRUE(guard.BeginBlock(10 * kMs));
  guard.SmoothTransition(nullptr, nullptr, 0);
  EXPECT_EQ(guard.EndBlock(80 * kMs), 70 * kMs);
  EXPECT_EQ(guard.fade_left, 17u);
  EXPECT_EQ(guard.held_left, 0.3f);
  EXPECT_EQ(guard.held_right, -0.3f);
  // 70 ms in one block: the next back-to-back block passes through.
  EXPECT_FALSE(guard.BeginBlock(80 * kMs + 1000));
}

}  // namespace
}  // namespace halvex
