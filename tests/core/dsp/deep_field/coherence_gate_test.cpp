#include "core/dsp/deep_field/coherence_gate.h"
#include "tests/support/test_signals.h"

#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

namespace halvex {
namespace {

float Random(uint32_t& s) {
  s = test::LcgStep(s);
  return 0.3f * test::FullScaleFrom(s);
}

// Runs two seconds of noise through a gate: identical channels, or independent ones.
std::unique_ptr<CoherenceGate> RunNoise(float recycle, bool identical) {
  auto gate = std::make_unique<CoherenceGate>();
  gate->Configure(recycle);
  uint32_t a = 1;
  uint32_t b = 2;
  float previous[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  for (size_t i = 0; i < 96000; ++i) {
    const float l = Random(a);
    const float r = identical ? l : Random(b);
    gate->Observe(l, r);
    gate->Shape(l, r);
    for (size_t k = 0; k < 8; ++k) {
      EXPECT_LE(std::fabs(gate->CurrentGains()[k] - previous[k]), 8e-4f + 1e-7f);
      previous[k] = gate->CurrentGains()[k];
    }
  }
  return gate;
}

TEST(CoherenceGate, BinsMapOntoTheBandSplitBands) {
  CoherenceGate gate;
  gate.Configure(0.0f);
  EXPECT_EQ(gate.BandOfBin(0), 0u);
  EXPECT_EQ(gate.BandOfBin(2), 0u);    // 93.75 Hz
  EXPECT_EQ(gate.BandOfBin(3), 1u);    // 140.6 Hz
  EXPECT_EQ(gate.BandOfBin(6), 1u);    // 281.3 Hz
  EXPECT_EQ(gate.BandOfBin(7), 2u);    // 328.1 Hz
  EXPECT_EQ(gate.BandOfBin(213), 6u);  // 9984.4 Hz
  EXPECT_EQ(gate.BandOfBin(214), 7u);  // 10031.3 Hz
  EXPECT_EQ(gate.BandOfBin(511), 7u);
}

TEST(CoherenceGate, RecycleOneLeavesTheSendsUntouched) {
  CoherenceGate gate;
  gate.Configure(1.0f);
  EXPECT_FALSE(gate.Enabled());
  uint32_t s = 5;
  for (size_t i = 0; i < 5000; ++i) {
    const float l = Random(s);
    const float r = Random(s);
    gate.Observe(l, r);
    const StereoSample out = gate.Shape(l, r);
    ASSERT_EQ(out.left, l);
    ASSERT_EQ(out.right, r);
  }
  for (float t : gate.TargetGains()) EXPECT_EQ(t, 1.0f);
}

TEST(CoherenceGate, IdenticalChannelsKeepEveryBandOpen) {
  const auto gate = RunNoise(0.0f, true);
  for (size_t k = 0; k < 8; ++k) EXPECT_NEAR(gate->TargetGains()[k], 1.0f, 0.05f) << k;
}

TEST(CoherenceGate, IndependentChannelsCloseTheAnalysedBandsByRecycle) {
  const auto closed = RunNoise(0.0f, false);
  // No analysed bin lies below 120 Hz, so band 0 keeps its starting target.
  EXPECT_EQ(closed->TargetGains()[0], 1.0f);
  for (size_t k = 1; k < 8; ++k) {
    EXPECT_LT(closed->TargetGains()[k], 0.1f) << k;
    EXPECT_NEAR(closed->CurrentGains()[k], closed->TargetGains()[k], 0.05f) << k;
  }
  const auto half = RunNoise(0.5f, false);
  for (size_t k = 1; k < 8; ++k) EXPECT_NEAR(half->TargetGains()[k], 0.5f, 0.05f) << k;
}

// The block call analyses and shapes a run of frames at once; cut into blocks of any length,
// across the analysis's target changes and while the gains move, it must give the bits of
// Observe and Shape frame by frame.
TEST(CoherenceGate, BlockShapingMatchesFrameByFrameBitForBit) {
  for (size_t block : {size_t{1}, size_t{7}, size_t{9}, size_t{32}, size_t{64}}) {
    auto frame = std::make_unique<CoherenceGate>();
    auto blocks = std::make_unique<CoherenceGate>();
    frame->Configure(0.2f);
    blocks->Configure(0.2f);
    uint32_t a = 5;
    uint32_t b = 6;
    std::array<StereoSample, 64> in{};
    std::array<StereoSample, 64> out{};
    for (size_t at = 0; at < 6000; at += block) {
      for (size_t i = 0; i < block; ++i) {
        // Half correlated, half independent, so the targets keep changing.
        const float l = Random(a);
        in[i] = {l, (at / 1024) % 2 == 0 ? l : Random(b)};
      }
      blocks->ObserveAndShape(in.data(), out.data(), block);
      for (size_t i = 0; i < block; ++i) {
        frame->Observe(in[i].left, in[i].right);
        const StereoSample expected = frame->Shape(in[i].left, in[i].right);
        ASSERT_EQ(std::memcmp(&expected, &out[i], sizeof expected), 0) << block << " " << at + i;
      }
    }
    EXPECT_EQ(std::memcmp(frame->CurrentGains().data(), blocks->CurrentGains().data(),
                          sizeof(float) * 8), 0);
  }
}

}  // namespace
}  // namespace halvex
