#include "core/dsp/filters/filterbank.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace halvex {
namespace {

using Noise = test::UniformNoise<777>;

// Eight bands on shared edges from 0 Hz to Nyquist.
std::array<float, kFilterbankMaxBands + 1> FullRangeEdges() {
  std::array<float, kFilterbankMaxBands + 1> e{};
  const float inner[] = {0.0f, 150.0f, 400.0f, 900.0f, 2000.0f, 4500.0f, 8000.0f, 14000.0f, 24000.0f};
  for (size_t i = 0; i < 9; ++i) e[i] = inner[i];
  return e;
}

TEST(FirFilterbank, BandsOnSharedEdgesSumToThePureDelay) {
  FirFilterbank bank;
  bank.Configure(LinkwitzRileyFir{}, FullRangeEdges(), 8, 256);
  ASSERT_EQ(bank.band_count, 8u);
  Noise noise;
  std::vector<float> x(2000);
  for (float& v : x) v = noise();
  std::array<float, kFilterbankMaxBands> out{};
  for (size_t n = 0; n < x.size(); ++n) {
    bank.Split(x[n], out);
    float sum = 0.0f;
    for (size_t b = 0; b < 8; ++b) sum += out[b];
    const float want = n >= 127 ? x[n - 127] : 0.0f;
    ASSERT_NEAR(sum, want, 2e-5f) << "sample " << n;
  }
}

TEST(FirFilterbank, ToneLandsInItsOwnBand) {
  FirFilterbank bank;
  bank.Configure(LinkwitzRileyFir{}, FullRangeEdges(), 8, 256);
  std::array<double, 8> energy{};
  std::array<float, kFilterbankMaxBands> out{};
  for (int n = 0; n < 4800; ++n) {
    bank.Split(std::sin(2.0 * std::numbers::pi * 3000.0 * n / 48000.0), out);
    if (n < 256) continue;
    for (size_t b = 0; b < 8; ++b) energy[b] += out[b] * out[b];
  }
  // 3000 Hz is in band 4 (2000-4500 Hz).
  for (size_t b = 0; b < 8; ++b) {
    if (b == 4) continue;
    EXPECT_LT(energy[b], 1e-4 * energy[4]) << "band " << b;
  }
}

TEST(FirFilterbank, SplitTouchesOnlyActiveBandsAndCapsAt32) {
  FirFilterbank bank;
  bank.Configure(LinkwitzRileyFir{}, FullRangeEdges(), 3, 256);
  std::array<float, kFilterbankMaxBands> out{};
  out.fill(-7.0f);
  bank.Split(1.0f, out);
  for (size_t b = 3; b < kFilterbankMaxBands; ++b) EXPECT_EQ(out[b], -7.0f);

  std::array<float, kFilterbankMaxBands + 1> many{};
  for (size_t i = 0; i < many.size(); ++i) many[i] = 700.0f * i;
  bank.Configure(LinkwitzRileyFir{}, many, 40, 256);
  EXPECT_EQ(bank.band_count, 32u);
}

TEST(FirFilterbank, ResetClearsEveryActiveBand) {
  FirFilterbank bank;
  bank.Configure(LinkwitzRileyFir{}, FullRangeEdges(), 8, 256);
  std::array<float, kFilterbankMaxBands> out{};
  for (int n = 0; n < 100; ++n) bank.Split(1.0f, out);
  bank.Reset();
  bank.Split(0.0f, out);
  for (size_t b = 0; b < 8; ++b) EXPECT_EQ(out[b], 0.0f);
}

}  // namespace
}  // namespace halvex
