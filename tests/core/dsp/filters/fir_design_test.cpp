#include "core/dsp/filters/fir_design.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "core/dsp/filters/filterbank.h"

namespace halvex {
namespace {

double Sum(const FirCoeffs& h) {
  double s = 0.0;
  for (float v : h) s += v;
  return s;
}

// |H(f)| of the taps at frequency hz (48 kHz).
double Magnitude(const FirCoeffs& h, double hz) {
  std::complex<double> acc = 0.0;
  for (size_t i = 0; i < h.size(); ++i) {
    acc += static_cast<double>(h[i]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * i / 48000.0);
  }
  return std::abs(acc);
}

void ExpectImpulseAt(const FirCoeffs& h, size_t at) {
  for (size_t i = 0; i < h.size(); ++i) EXPECT_EQ(h[i], i == at ? 1.0f : 0.0f) << "tap " << i;
}

TEST(WindowedSincLowpass, ZeroOrNegativeCutoffGivesSilence) {
  for (float fc : {0.0f, -100.0f, std::nanf("")}) {
    const FirCoeffs h = WindowedSincLowpass(fc, 256);
    for (float v : h) EXPECT_EQ(v, 0.0f);
  }
}

TEST(WindowedSincLowpass, CutoffAtOrAboveNyquistIsAPureDelay) {
  ExpectImpulseAt(WindowedSincLowpass(30000.0f, 256), 127);
  ExpectImpulseAt(WindowedSincLowpass(24000.0f, 256), 127);
  ExpectImpulseAt(WindowedSincLowpass(24000.0f, 31), 15);
}

TEST(WindowedSincLowpass, HasUnityDcGainAndPeaksAtTheCentreTap) {
  const FirCoeffs h = WindowedSincLowpass(1000.0f, 256);
  EXPECT_NEAR(Sum(h), 1.0, 1e-6);
  size_t peak = 0;
  for (size_t i = 0; i < h.size(); ++i) {
    if (h[i] > h[peak]) peak = i;
  }
  EXPECT_EQ(peak, 127u);
}

TEST(WindowedSincLowpass, PassesBelowAndStopsWellAboveTheCutoff) {
  const FirCoeffs h = WindowedSincLowpass(1000.0f, 256);
  EXPECT_NEAR(Magnitude(h, 200.0), 1.0, 1e-3);
  EXPECT_NEAR(Magnitude(h, 1000.0), 0.5, 0.05);  // a windowed sinc is -6 dB at its cutoff
  EXPECT_LT(Magnitude(h, 3000.0), 1e-3);
  EXPECT_LT(Magnitude(h, 12000.0), 1e-3);
}

TEST(WindowedSincLowpass, LeavesTapsBeyondTheLengthAtZero) {
  const FirCoeffs h = WindowedSincLowpass(5000.0f, 64);
  EXPECT_NEAR(Sum(h), 1.0, 1e-6);
  for (size_t i = 64; i < h.size(); ++i) EXPECT_EQ(h[i], 0.0f);
  EXPECT_NE(h[31], 0.0f);
}

TEST(WindowedSincLowpass, SingleTapIsAUnitGain) {
  ExpectImpulseAt(WindowedSincLowpass(1000.0f, 1), 0);
}

TEST(LinkwitzRileyFir, FullBandIsAPureDelay) {
  ExpectImpulseAt(LinkwitzRileyFir{}.BandFir(0.0f, 24000.0f, 256), 127);
}

TEST(LinkwitzRileyFir, BandPassRejectsDcAndPassesItsMiddle) {
  const FirCoeffs h = LinkwitzRileyFir{}.BandFir(1000.0f, 4000.0f, 256);
  EXPECT_NEAR(Sum(h), 0.0, 1e-6);
  EXPECT_NEAR(Magnitude(h, 2000.0), 1.0, 1e-3);
  EXPECT_LT(Magnitude(h, 100.0), 1e-3);
  EXPECT_LT(Magnitude(h, 10000.0), 1e-3);
}

}  // namespace
}  // namespace halvex
