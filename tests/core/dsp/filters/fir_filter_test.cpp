#include "core/dsp/filters/fir_filter.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace halvex {
namespace {

using Noise = test::UniformNoise<12345>;

TEST(FirFilter, ThreeTapsWithTheLastSetDelayByTwoSamples) {
  FirCoeffs c{};
  c[2] = 1.0f;
  FirFilter f;
  f.SetCoeffs(c, 3);
  const float in[] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};
  const float want[] = {0.0f, 0.0f, 1.0f, 2.0f, 3.0f, 4.0f};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(f.Process(in[i]), want[i]) << "sample " << i;
}

// Lengths around the vector block sizes, where a tail or wrap mistake would show.
TEST(FirFilter, MatchesDirectConvolutionForEveryLength) {
  for (size_t taps : {1u, 2u, 7u, 8u, 31u, 32u, 33u, 100u, 255u, 256u}) {
    Noise noise;
    FirCoeffs c{};
    for (size_t k = 0; k < taps; ++k) c[k] = noise();
    FirFilter f;
    f.SetCoeffs(c, taps);
    std::vector<float> x(3 * taps + 50);
    for (float& v : x) v = noise();
    for (size_t n = 0; n < x.size(); ++n) {
      double want = 0.0;
      double scale = 0.0;
      for (size_t k = 0; k < taps && k <= n; ++k) {
        want += static_cast<double>(c[k]) * x[n - k];
        scale += std::fabs(static_cast<double>(c[k]) * x[n - k]);
      }
      ASSERT_NEAR(f.Process(x[n]), want, 1e-6 * scale + 1e-9) << taps << " taps, sample " << n;
    }
  }
}

TEST(FirFilter, CoefficientsBeyondTheLengthAreIgnored) {
  FirCoeffs c{};
  c.fill(1.0f);
  FirFilter f;
  f.SetCoeffs(c, 5);
  float last = 0.0f;
  for (int i = 0; i < 40; ++i) last = f.Process(1.0f);
  EXPECT_EQ(last, 5.0f);
}

TEST(FirFilter, OutOfRangeLengthsAreClampedInsteadOfOverrunningTheLine) {
  FirCoeffs c{};
  c.fill(0.5f);
  FirFilter none;
  none.SetCoeffs(c, 0);
  EXPECT_EQ(none.taps, 1u);
  EXPECT_EQ(none.Process(2.0f), 1.0f);
  FirFilter too_long;
  too_long.SetCoeffs(c, 1000);
  EXPECT_EQ(too_long.taps, 256u);
  float last = 0.0f;
  for (int i = 0; i < 600; ++i) last = too_long.Process(1.0f);
  EXPECT_EQ(last, 128.0f);
}

TEST(FirFilter, ResetAndSetCoeffsForgetThePast) {
  Noise noise;
  FirCoeffs c{};
  for (size_t k = 0; k < 256; ++k) c[k] = noise();
  FirFilter fresh;
  fresh.SetCoeffs(c, 256);
  FirFilter used = fresh;
  for (int i = 0; i < 300; ++i) used.Process(noise());
  used.Reset();
  FirFilter reloaded = fresh;
  for (int i = 0; i < 77; ++i) reloaded.Process(noise());
  reloaded.SetCoeffs(c, 256);
  for (int i = 0; i < 600; ++i) {
    const float x = noise();
    const float want = fresh.Process(x);
    EXPECT_EQ(used.Process(x), want);
    EXPECT_EQ(reloaded.Process(x), want);
  }
}

}  // namespace
}  // namespace halvex
