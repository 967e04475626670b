#include "core/dsp/spectral/ambient_split.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>

namespace halvex {
namespace {

using Noise = test::UniformNoise<31337>;

std::unique_ptr<AmbientSplit> MakeSplit(size_t first = 4, size_t end = 341) {
  auto a = std::make_unique<AmbientSplit>();
  a->Configure(first, end);
  return a;
}

// A spectrum with random complex bins; `mix` 0 gives identical channels, 1 independent ones.
void FillSpectrum(StereoSpectrum& s, Noise& noise, float mix) {
  for (size_t k = 0; k < kFftBins; ++k) {
    const float re = noise();
    const float im = noise();
    s.left_re[k] = re;
    s.left_im[k] = im;
    s.right_re[k] = (1.0f - mix) * re + mix * noise();
    s.right_im[k] = (1.0f - mix) * im + mix * noise();
  }
}

// A split over [first, end) after `frames` spectra of FillSpectrum with `mix`.
std::unique_ptr<AmbientSplit> SplitAfter(int frames, float mix, size_t first = 4,
                                         size_t end = 341) {
  auto split = MakeSplit(first, end);
  Noise noise;
  StereoSpectrum s;
  for (int frame = 0; frame < frames; ++frame) {
    FillSpectrum(s, noise, mix);
    split->Update(s);
  }
  return split;
}

double Mean(const std::array<float, kFftBins>& a, size_t first, size_t end) {
  double sum = 0.0;
  for (size_t k = first; k < end; ++k) sum += a[k];
  return sum / static_cast<double>(end - first);
}

TEST(AmbientSplit, IdenticalChannelsAreCoherentAndGatedToNoAmbience) {
  auto split = SplitAfter(200, 0.0f);
  // With the cross term discounted by 3/47 the smaller eigenvalue of a rank-one covariance is
  // (1 - sqrt(44/47)) of the power.
  const float raw = static_cast<float>(1.0 - std::sqrt(44.0 / 47.0));
  for (size_t k = 4; k < 341; ++k) {
    ASSERT_NEAR(split->coherence[k], 1.0f, 1e-5f) << "bin " << k;
    ASSERT_NEAR(split->ambience[k], raw, 1e-3f) << "bin " << k;
    ASSERT_EQ(split->ambience_gated[k], 0.0f) << "bin " << k;
    ASSERT_EQ(split->ambience_smooth[k], 0.0f) << "bin " << k;
    ASSERT_NEAR(split->coherence_smooth[k], 1.0f, 1e-5f) << "bin " << k;
    ASSERT_NEAR(split->balance_smooth[k], 0.0f, 1e-5f) << "bin " << k;
  }
  EXPECT_NEAR(split->ambience[100], 0.032f, 0.001f);
}

TEST(AmbientSplit, IndependentChannelsReadAsAmbience) {
  auto split = SplitAfter(400, 1.0f);
  // Smoothing over about eight frames leaves some chance correlation per bin; across bins the
  // estimates sit near their limits.
  EXPECT_GT(Mean(split->ambience, 4, 341), 0.75);
  EXPECT_GT(Mean(split->ambience_smooth, 4, 341), 0.7);
  EXPECT_LT(Mean(split->coherence_smooth, 4, 341), 0.15);
  EXPECT_NEAR(Mean(split->balance_smooth, 4, 341), 0.0, 0.1);
}

TEST(AmbientSplit, BalanceAndQuadratureFollowLevelAndPhase) {
  auto split = MakeSplit();
  StereoSpectrum s;
  // Left twice as loud; right a quarter turn behind left: L conj R = |L||R| i.
  for (size_t k = 0; k < kFftBins; ++k) {
    s.left_re[k] = 2.0f;
    s.left_im[k] = 0.0f;
    s.right_re[k] = 0.0f;
    s.right_im[k] = -1.0f;
  }
  for (int frame = 0; frame < 300; ++frame) split->Update(s);
  for (size_t k = 4; k < 341; ++k) {
    ASSERT_NEAR(split->balance[k], 3.0f / 5.0f, 1e-5f);
    ASSERT_NEAR(split->quadrature[k], -4.0f / 5.0f, 1e-5f);
    ASSERT_NEAR(split->coherence[k], 0.0f, 1e-5f);
    ASSERT_NEAR(split->balance_smooth[k], 3.0f / 5.0f, 1e-5f);
    ASSERT_NEAR(split->quadrature_smooth[k], -4.0f / 5.0f, 1e-5f);
  }
}

TEST(AmbientSplit, SilenceClearsAmbienceButKeepsPlacement) {
  auto split = MakeSplit();
  StereoSpectrum s;
  for (size_t k = 0; k < kFftBins; ++k) {
    s.left_re[k] = 1.0f;
    s.right_re[k] = 0.5f;
  }
  for (int frame = 0; frame < 100; ++frame) split->Update(s);
  const float balance = split->balance[50];
  const StereoSpectrum silence{};
  for (int frame = 0; frame < 400; ++frame) split->Update(silence);
  for (size_t k = 4; k < 341; ++k) {
    ASSERT_LT(split->power_left[k] + split->power_right[k], 1e-9f);
    ASSERT_EQ(split->ambience[k], 0.0f);
    ASSERT_EQ(split->coherence[k], 0.0f);
    ASSERT_EQ(split->balance[k], balance);
  }
  EXPECT_NEAR(balance, 0.6f, 1e-5f);
}

TEST(AmbientSplit, AnalysesOnlyItsBinRange) {
  auto split = SplitAfter(10, 0.5f, 10, 20);
  for (size_t k = 0; k < kFftBins; ++k) {
    const bool inside = k >= 10 && k < 20;
    EXPECT_EQ(split->power_left[k] != 0.0f, inside) << "bin " << k;
    EXPECT_EQ(split->ambience_smooth[k] != 0.0f, inside) << "bin " << k;
  }
  split->Configure(500, 900);
  EXPECT_EQ(split->end_bin, 512u);
  EXPECT_EQ(split->power_left[15], 0.0f);
}

TEST(AmbientSplit, SmoothingClampsAtTheEdgesOfTheRange) {
  auto split = MakeSplit();
  split->balance[4] = 1.0f;     // first bin
  split->quadrature[340] = 1.0f;  // last bin
  split->ambience[200] = 0.5f;
  split->SmoothAcrossBins();
  // Nine of the 17 taps at bin 4 fall on or below the first bin.
  EXPECT_FLOAT_EQ(split->balance_smooth[4], 9.0f / 17.0f);
  EXPECT_FLOAT_EQ(split->balance_smooth[12], 1.0f / 17.0f);
  EXPECT_EQ(split->balance_smooth[13], 0.0f);
  EXPECT_FLOAT_EQ(split->quadrature_smooth[340], 9.0f / 17.0f);
  EXPECT_EQ(split->quadrature_smooth[331], 0.0f);
  // A lone 0.5 averages to 1/6 over three bins, above the 0.05 floor.
  const float gated = (0.5f / 3.0f - 0.05f) / 0.95f;
  EXPECT_FLOAT_EQ(split->ambience_gated[199], gated);
  EXPECT_FLOAT_EQ(split->ambience_gated[200], gated);
  EXPECT_FLOAT_EQ(split->ambience_gated[201], gated);
  EXPECT_EQ(split->ambience_gated[202], 0.0f);
  EXPECT_FLOAT_EQ(split->ambience_smooth[200], 3.0f * gated / 17.0f);
}

TEST(AmbientSplit, AmbienceOnlyUpdateKeepsTheAmbienceOfTheFullOne) {
  auto full = MakeSplit();
  auto lean = MakeSplit();
  Noise noise;
  auto s = std::make_unique<StereoSpectrum>();
  for (int frame = 0; frame < 30; ++frame) {
    FillSpectrum(*s, noise, frame % 3 == 0 ? 0.2f : 0.8f);
    full->Update(*s);
    lean->UpdateAmbience(*s);
    for (size_t k = 0; k < kFftBins; ++k) {
      ASSERT_EQ(lean->ambience[k], full->ambience[k]) << frame << " " << k;
      ASSERT_EQ(lean->ambience_smooth[k], full->ambience_smooth[k]) << frame << " " << k;
    }
  }
  EXPECT_GT(Mean(lean->ambience_smooth, 4, 341), 0.1);  // the comparison saw real ambience
}

}  // namespace
}  // namespace halvex
