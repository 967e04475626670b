#include "core/dsp/experimental/ambient_render.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "tests/support/test_signals.h"

namespace halvex {
namespace {

// A conjugate-symmetric spectrum of pseudo-random bins.
StereoSpectrum RandomSpectrum(uint32_t seed) {
  StereoSpectrum s;
  test::UniformNoise<> next{seed};
  for (size_t k = 1; k < kFftBins; ++k) {
    s.left_re[k] = next();
    s.left_im[k] = next();
    s.right_re[k] = next();
    s.right_im[k] = next();
    s.left_re[kFftSize - k] = s.left_re[k];
    s.left_im[kFftSize - k] = -s.left_im[k];
    s.right_re[kFftSize - k] = s.right_re[k];
    s.right_im[kFftSize - k] = -s.right_im[k];
  }
  s.left_re[0] = next();
  s.right_re[0] = next();
  return s;
}

AmbientSplit FlatSplit(float coherence, float ambience) {
  AmbientSplit split;
  split.Configure(4, 341);
  split.coherence_smooth.fill(coherence);
  split.ambience_smooth.fill(ambience);
  return split;
}

TEST(AmbientRenderer, BinsOutsideTheRangeAndTheirMirrorsPassUnchanged) {
  for (RenderTarget target : {RenderTarget::kSpeakers, RenderTarget::kHeadphones}) {
    AmbientRenderer renderer;
    renderer.Configure(1.0f, 3.0f, 1.0f, target);
    AmbientSplit split = FlatSplit(0.3f, 0.6f);
    const StereoSpectrum in = RandomSpectrum(3);
    StereoSpectrum out = in;
    renderer.Render(out, split);
    const size_t first = renderer.first_bin();
    EXPECT_EQ(first, target == RenderTarget::kSpeakers ? 6u : 4u);
    for (size_t k = 0; k < kFftSize; ++k) {
      const bool rendered =
          (k >= first && k <= 340) || (k >= kFftSize - 340 && k <= kFftSize - first);
      if (rendered) {
        // Conjugate symmetry is kept.
        ASSERT_EQ(out.left_re[k], out.left_re[kFftSize - k]);
        ASSERT_EQ(out.right_im[k], -out.right_im[kFftSize - k]);
      } else {
        ASSERT_EQ(out.left_re[k], in.left_re[k]) << "bin " << k;
        ASSERT_EQ(out.left_im[k], in.left_im[k]) << "bin " << k;
        ASSERT_EQ(out.right_re[k], in.right_re[k]) << "bin " << k;
        ASSERT_EQ(out.right_im[k], in.right_im[k]) << "bin " << k;
      }
    }
    EXPECT_NE(out.left_re[first], in.left_re[first]);
  }
}

// Render runs the bins eight at a time; every bin must get exactly the bits of RenderOneBin,
// whatever the split says about it (silent, direct, ambient, leaning either way) and for every
// profile and depth, including the tail of the range that does not fill a vector.
TEST(AmbientRenderer, RenderGivesTheBitsOfOneBinAtATime) {
  struct Case {
    float spread, depth, direct;
    RenderTarget target;
  };
  const Case cases[] = {{1.0f, 1.0f, 0.0f, RenderTarget::kHeadphones},
                        {0.7f, 3.0f, 0.5f, RenderTarget::kSpeakers},
                        {0.0f, 0.25f, 1.0f, RenderTarget::kHeadphones},
                        {1.0f, 2.0f, 0.0f, RenderTarget::kSpeakers}};
  test::UniformNoise<77> noise;
  for (const Case& c : cases) {
    AmbientRenderer batched;
    batched.Configure(c.spread, c.depth, c.direct, c.target);
    AmbientRenderer single = batched;
    AmbientSplit split;
    split.Configure(4, 341);
    for (size_t k = 0; k < kFftBins; ++k) {
      // Every third bin without ambience, so lanes with and without the rotation mix.
      split.ambience_smooth[k] = k % 3 == 0 ? 0.0f : 0.5f * (noise() + 1.0f);
      split.coherence_smooth[k] = 0.5f * (noise() + 1.0f);
      split.balance_smooth[k] = noise();
      split.quadrature_smooth[k] = noise();
    }
    for (uint32_t frame = 0; frame < 3; ++frame) {
      const StereoSpectrum in = RandomSpectrum(20 + frame);
      StereoSpectrum out = in;
      batched.Render(out, split);
      StereoSpectrum expected = in;
      for (size_t k = single.first_bin(); k < single.end_bin(); ++k) {
        single.RenderOneBin(expected, k, split);
      }
      single.UpdateBalance(in, expected);
      single.ApplyBalance(expected);
      for (size_t k = 0; k < kFftSize; ++k) {
        ASSERT_EQ(out.left_re[k], expected.left_re[k]) << "bin " << k;
        ASSERT_EQ(out.left_im[k], expected.left_im[k]) << "bin " << k;
        ASSERT_EQ(out.right_re[k], expected.right_re[k]) << "bin " << k;
        ASSERT_EQ(out.right_im[k], expected.right_im[k]) << "bin " << k;
      }
      EXPECT_EQ(batched.band_phase(), single.band_phase());
      EXPECT_EQ(batched.band_gain_left(), single.band_gain_left());
    }
  }
}

TEST(AmbientRenderer, DirectBinsGetOnlyTheDirectPhaseAndDepthScaling) {
  AmbientRenderer renderer;
  renderer.Configure(1.0f, 2.0f, 0.5f, RenderTarget::kHeadphones);
  const AmbientSplit split = FlatSplit(1.0f, 0.0f);  // mono: no ambience
  const StereoSpectrum in = RandomSpectrum(8);
  StereoSpectrum out = in;
  for (size_t k = 4; k <= 340; ++k) renderer.RenderOneBin(out, k, split);
  for (size_t k = 4; k <= 340; k += 17) {
    const float phi = renderer.direct_phase()[k];
    const float g = 1.0f / std::sqrt(2.0f);
    EXPECT_NEAR(out.left_re[k], g * (in.left_re[k] * std::cos(phi) - in.left_im[k] * std::sin(phi)),
                1e-5f);
    EXPECT_NEAR(out.left_im[k], g * (in.left_re[k] * std::sin(phi) + in.left_im[k] * std::cos(phi)),
                1e-5f);
    EXPECT_NEAR(out.right_re[k],
                g * (in.right_re[k] * std::cos(phi) + in.right_im[k] * std::sin(phi)), 1e-5f);
    EXPECT_NEAR(out.right_im[k],
                g * (in.right_im[k] * std::cos(phi) - in.right_re[k] * std::sin(phi)), 1e-5f);
  }
}

TEST(AmbientRenderer, FullyAmbientBinsWithoutSpreadAreScaledByDepth) {
  AmbientRenderer renderer;
  renderer.Configure(0.0f, 2.0f, 0.0f, RenderTarget::kHeadphones);
  const AmbientSplit split = FlatSplit(0.2f, 1.0f);
  const StereoSpectrum in = RandomSpectrum(9);
  StereoSpectrum out = in;
  for (size_t k = 4; k <= 340; ++k) renderer.RenderOneBin(out, k, split);
  for (size_t k = 4; k <= 340; k += 11) {
    EXPECT_NEAR(out.left_re[k], std::sqrt(2.0f) * in.left_re[k], 1e-5f);
    EXPECT_NEAR(out.right_im[k], std::sqrt(2.0f) * in.right_im[k], 1e-5f);
  }
}

TEST(AmbientRenderer, BandCorrectionsStayWithinHalfAndDouble) {
  AmbientRenderer renderer;
  renderer.Configure(1.0f, 1.0f, 0.0f, RenderTarget::kHeadphones);
  // The input leans right (1 % of the power on the left), the output leans hard left.
  StereoSpectrum before = RandomSpectrum(4);
  for (size_t k = 0; k < kFftSize; ++k) {
    before.left_re[k] *= 0.1f;
    before.left_im[k] *= 0.1f;
  }
  StereoSpectrum after = before;
  for (size_t k = 0; k < kFftSize; ++k) {
    after.left_re[k] *= 1000.0f;  // left far too loud: its correction wants to fall
    after.left_im[k] *= 1000.0f;
    after.right_re[k] *= 0.001f;  // right far too quiet: its correction wants to rise
    after.right_im[k] *= 0.001f;
  }
  for (int i = 0; i < 200; ++i) renderer.UpdateBalance(before, after);
  for (size_t j = 0; j < kBalanceBands; ++j) {
    EXPECT_GE(renderer.band_gain_left()[j], 0.5f);
    EXPECT_NEAR(renderer.band_gain_left()[j], 0.5f, 1e-4f);
    EXPECT_LE(renderer.band_gain_right()[j], 2.0f);
    EXPECT_NEAR(renderer.band_gain_right()[j], 2.0f, 1e-4f);
  }
  renderer.Reset();
  EXPECT_EQ(renderer.band_gain_left()[3], 1.0f);
}

TEST(AmbientRenderer, PhaseCorrectionUndoesAnInterChannelPhaseShift) {
  AmbientRenderer renderer;
  renderer.Configure(1.0f, 1.0f, 0.0f, RenderTarget::kHeadphones);
  // Both channels the same bins, then the right channel turned by 0.6 rad.
  StereoSpectrum before = RandomSpectrum(6);
  before.right_re = before.left_re;
  before.right_im = before.left_im;
  StereoSpectrum after = before;
  const float turn = 0.6f;
  for (size_t k = 1; k < kFftBins; ++k) {
    const float re = before.right_re[k];
    const float im = before.right_im[k];
    after.right_re[k] = re * std::cos(turn) - im * std::sin(turn);
    after.right_im[k] = re * std::sin(turn) + im * std::cos(turn);
  }
  for (int i = 0; i < 100; ++i) renderer.UpdateBalance(before, after);
  // L conj(R) turned by -0.6; the correction turns L by -0.3 and R by +0.3.
  for (size_t j = 0; j < kBalanceBands; ++j) EXPECT_NEAR(renderer.band_phase()[j], 0.3f, 1e-3f);
  renderer.ApplyBalance(after);
  for (size_t k = 20; k <= 340; k += 40) {
    const double cross_re =
        after.left_re[k] * after.right_re[k] + after.left_im[k] * after.right_im[k];
    const double cross_im =
        after.left_im[k] * after.right_re[k] - after.left_re[k] * after.right_im[k];
    EXPECT_NEAR(std::atan2(cross_im, cross_re), 0.0, 1e-3) << "bin " << k;
  }
}

}  // namespace
}  // namespace halvex
