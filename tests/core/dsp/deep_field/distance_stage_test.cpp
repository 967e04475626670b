#include "core/dsp/deep_field/distance_stage.h"

#include <array>
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/core/dsp/deep_field/send_rows.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

// Frame at which an impulse on the shaped input first shows up in reflection k's send.
size_t FirstArrival(float distance, size_t k) {
  DistanceStage stage;
  stage.Configure(distance, 0.5f, -10.0f);
  for (size_t i = 0; i < 2048; ++i) {
    const float x = i == 0 ? 1.0f : 0.0f;
    const DistanceOutput out = stage.Process(0.0f, 0.0f, x, x);
    if (out.sends[k].left != 0.0f) return i;
  }
  return 2048;
}

TEST(DistanceStage, FirstReflectionArrivesLaterWhenTheSourceIsCloser) {
  EXPECT_EQ(FirstArrival(8.0f, 0), 300u);   // (18/8 + 4) ms
  EXPECT_EQ(FirstArrival(1.0f, 0), 1056u);  // 22 ms
  EXPECT_EQ(FirstArrival(1.0f, 1), 732u);   // (18/1.6 + 4) ms
  EXPECT_EQ(FirstArrival(1.0f, 2), 524u);   // (18/2.6 + 4) ms
  EXPECT_EQ(FirstArrival(0.5f, 0), 1056u);  // below 1 counts as 1
}

TEST(DistanceStage, DirectSoundIsUntouchedAtDistanceOneAndDarkenedFarAway) {
  DistanceStage near;
  near.Configure(0.5f, 1.0f, -20.0f);
  DistanceStage far;
  far.Configure(8.0f, 1.0f, -20.0f);
  double far_nyquist = 0.0;
  for (size_t i = 0; i < 4000; ++i) {
    const float x = (i % 2 == 0) ? 0.5f : -0.5f;
    const DistanceOutput n = near.Process(x, -x, 0.0f, 0.0f);
    ASSERT_EQ(n.direct.left, x);
    ASSERT_EQ(n.direct.right, -x);
    const DistanceOutput f = far.Process(x, -x, 0.0f, 0.0f);
    if (i >= 3000) far_nyquist = std::max(far_nyquist, std::fabs(double(f.direct.left)));
  }
  // With all the air at distance 8 only the one-pole low-pass at 16000/8^0.8 = 3036 Hz remains;
  // at the Nyquist frequency a one-pole y += a (x - y) has the gain a / (2 - a).
  const double a = 1.0 - std::exp(-2.0 * M_PI * 16000.0 / std::pow(8.0, 0.8) / 48000.0);
  EXPECT_NEAR(far_nyquist, 0.5 * a / (2.0 - a), 1e-3);
  // while a steady level passes unchanged.
  for (size_t i = 0; i < 2000; ++i) far.Process(0.25f, 0.25f, 0.0f, 0.0f);
  EXPECT_NEAR(far.Process(0.25f, 0.25f, 0.0f, 0.0f).direct.left, 0.25f, 1e-5f);
}

TEST(DistanceStage, SendsCarryTheFieldLevelScaledByTheLevelFactors) {
  DistanceStage stage;
  stage.Configure(1.0f, 0.0f, -20.0f);
  DistanceOutput out;
  for (size_t i = 0; i < 6000; ++i) out = stage.Process(0.0f, 0.0f, 1.0f, -1.0f);
  // The reflections stand 6 : 9 : 5 at a combined power of the field level, -20 dB.
  const float relative[3] = {6.0f, 9.0f, 5.0f};
  const float norm = std::sqrt(6.0f * 6.0f + 9.0f * 9.0f + 5.0f * 5.0f);
  float expected[3];
  for (size_t k = 0; k < 3; ++k) expected[k] = 0.1f * relative[k] / norm;
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_NEAR(out.sends[k].left, expected[k], 1e-6f) << k;
    EXPECT_NEAR(out.sends[k].right, -expected[k], 1e-6f) << k;
  }
  // The late send is the second reflection at the combined level of all three.
  const float combined = std::sqrt(expected[0] * expected[0] + expected[1] * expected[1] +
                                   expected[2] * expected[2]);
  EXPECT_NEAR(out.late.left, combined, 1e-6f);
  EXPECT_NEAR(out.late.right, -combined, 1e-6f);
}

// The deep-field stage feeds the reflections and reads their sends a block at a time; the sends
// must be those of Process frame by frame, bit for bit, over several wraps of the rings and for
// block lengths that do and do not divide them.
TEST(DistanceStage, BlockFeedAndSendsMatchProcessBitForBit) {
  for (float distance : {1.0f, 3.0f, 8.0f}) {
    for (size_t block : {size_t{1}, size_t{13}, DistanceStage::kMaxBlock}) {
      DistanceStage frame;
      DistanceStage blocks;
      frame.Configure(distance, 0.5f, -6.0f);
      blocks.Configure(distance, 0.5f, -6.0f);
      test::UniformNoise<3> noise;
      std::array<StereoSample, DistanceStage::kMaxBlock> in{};
      std::array<std::array<FieldSend, 3>, DistanceStage::kMaxBlock> sends{};
      std::array<FieldSend, DistanceStage::kMaxBlock> late{};
      for (size_t at = 0; at < 3 * DistanceStage::kRingLength; at += block) {
        for (size_t i = 0; i < block; ++i) in[i] = {noise(), noise()};
        blocks.FeedBlock(in.data(), block);
        alignas(32) SendRows rows;
        blocks.SendsBlock(block, rows);
        test::FromRows(rows, block, sends, late);
        for (size_t i = 0; i < block; ++i) {
          const DistanceOutput out = frame.Process(0.0f, 0.0f, in[i].left, in[i].right);
          ASSERT_EQ(std::memcmp(&out.sends, &sends[i], sizeof out.sends), 0) << at + i;
          ASSERT_EQ(std::memcmp(&out.late, &late[i], sizeof out.late), 0) << at + i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace halvex
