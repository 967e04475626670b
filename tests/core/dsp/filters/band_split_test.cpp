#include "core/dsp/filters/band_split.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace halvex {
namespace {

using Noise = test::UniformNoise<4242>;

TEST(BandEdgeHz, ListsSevenEdgesThenNyquist) {
  EXPECT_EQ(BandEdgeHz(0), 120.0f);
  EXPECT_EQ(BandEdgeHz(3), 1500.0f);
  EXPECT_EQ(BandEdgeHz(6), 10000.0f);
  EXPECT_EQ(BandEdgeHz(7), 24000.0f);
  EXPECT_EQ(BandEdgeHz(100), 24000.0f);
}

TEST(BandSplit, CoefficientsFollowTheEdges) {
  BandSplit split;
  split.Configure();
  const float want[] = {0.015585244f, 0.038508832f, 0.087557137f, 0.17827505f,
                        0.32476813f,  0.5440619f,   0.72990918f};
  for (size_t k = 0; k < 7; ++k) EXPECT_NEAR(split.coeffs[k], want[k], 2e-7f) << "edge " << k;
}

TEST(BandSplit, ConstantInputSettlesInTheLowestBand) {
  BandSplit split;
  split.Configure();
  std::array<float, 8> out{};
  for (int n = 0; n < 20000; ++n) split.Split(1.0f, out);
  EXPECT_NEAR(out[0], 1.0f, 1e-4f);
  for (size_t k = 1; k < 8; ++k) EXPECT_NEAR(out[k], 0.0f, 1e-4f) << "band " << k;
}

TEST(BandSplit, BandsAddUpToTheInputAtEverySample) {
  BandSplit split;
  split.Configure();
  std::array<float, 8> out{};
  split.Split(1.0f, out);  // a unit impulse first
  float sum = 0.0f;
  for (float v : out) sum += v;
  EXPECT_NEAR(sum, 1.0f, 1e-6f);
  EXPECT_GT(out[7], 0.0f);

  Noise noise;
  for (int n = 0; n < 5000; ++n) {
    const float x = noise();
    split.Split(x, out);
    sum = 0.0f;
    for (float v : out) sum += v;
    ASSERT_NEAR(sum, x, 1e-5f) << "sample " << n;
  }
}

// Peak magnitude of each band over the last 90 % of a run of the signal.
template <typename Signal>
std::array<float, 8> BandPeaks(Signal signal) {
  BandSplit split;
  split.Configure();
  std::array<float, 8> out{};
  std::array<float, 8> peak{};
  for (int n = 0; n < 48000; ++n) {
    split.Split(signal(n), out);
    if (n < 4800) continue;
    for (size_t k = 0; k < 8; ++k) peak[k] = std::max(peak[k], std::abs(out[k]));
  }
  return peak;
}

TEST(BandSplit, LowAndHighTonesStayOutOfTheFarBands) {
  const auto high = BandPeaks([](int n) { return (n % 2 == 0) ? 1.0f : -1.0f; });  // 24 kHz
  EXPECT_LT(high[0], 0.01f);
  EXPECT_LT(high[1], 0.02f);
  const auto low = BandPeaks([](int n) { return std::sin(2.0f * 3.14159265f * 30.0f * n / 48000.0f); });
  EXPECT_GT(low[0], 0.9f);
  EXPECT_LT(low[6], 0.01f);
  EXPECT_LT(low[7], 0.01f);
}

TEST(BandSplit, ApplyWeighsTheSameBandsThatSplitProduces) {
  BandSplit a;
  BandSplit b;
  BandSplit unity;
  a.Configure();
  b.Configure();
  unity.Configure();
  const std::array<float, 8> gains = {0.5f, 1.5f, -1.0f, 2.0f, 0.0f, 0.25f, 3.0f, 0.75f};
  const std::array<float, 8> ones = {1, 1, 1, 1, 1, 1, 1, 1};
  Noise noise;
  std::array<float, 8> out{};
  for (int n = 0; n < 3000; ++n) {
    const float x = noise();
    a.Split(x, out);
    double want = 0.0;
    for (size_t k = 0; k < 8; ++k) want += static_cast<double>(out[k]) * gains[k];
    ASSERT_NEAR(b.Apply(x, gains), want, 1e-5) << "sample " << n;
    ASSERT_EQ(a.state, b.state);
    ASSERT_NEAR(unity.Apply(x, ones), x, 1e-5f);
  }
}

TEST(BandSplit, ResetReturnsToTheConfiguredStart) {
  BandSplit fresh;
  fresh.Configure();
  BandSplit used = fresh;
  std::array<float, 8> out{};
  for (int n = 0; n < 100; ++n) used.Split(0.9f, out);
  used.Reset();
  EXPECT_EQ(used.coeffs, fresh.coeffs);
  for (float s : used.state) EXPECT_EQ(s, 0.0f);
}

// The pair split runs the cascade differently (as a wavefront on AVX2 machines); every band of
// every frame, and the states it leaves, must match frame-by-frame Split bit for bit, for every
// block length and with the states already busy.
TEST(BandSplit, SplitPairMatchesSplitFrameByFrame) {
  Noise noise;
  BandSplit ref_a, ref_b, a, b;
  for (BandSplit* s : {&ref_a, &ref_b, &a, &b}) s->Configure();
  std::array<float, 8> want{};
  for (size_t count = 0; count <= BandSplit::kMaxBlock; ++count) {
    std::vector<float> xa(count), xb(count);
    for (size_t i = 0; i < count; ++i) {
      xa[i] = noise();
      xb[i] = 1e-3f * noise();
    }
    std::array<std::array<float, 8>, BandSplit::kMaxBlock> got_a{}, got_b{};
    BandSplit::SplitPair(a, b, xa.data(), xb.data(), count, got_a.data(), got_b.data());
    for (size_t i = 0; i < count; ++i) {
      ref_a.Split(xa[i], want);
      ASSERT_EQ(std::memcmp(want.data(), got_a[i].data(), sizeof want), 0) << count << " " << i;
      ref_b.Split(xb[i], want);
      ASSERT_EQ(std::memcmp(want.data(), got_b[i].data(), sizeof want), 0) << count << " " << i;
    }
    ASSERT_EQ(std::memcmp(a.state.data(), ref_a.state.data(), sizeof a.state), 0) << count;
    ASSERT_EQ(std::memcmp(b.state.data(), ref_b.state.data(), sizeof b.state), 0) << count;
  }
}

}  // namespace
}  // namespace halvex
