#include "core/dsp/echo/spectral_widener.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

namespace halvex {
namespace {

using Noise = test::UniformNoise<2024>;

std::unique_ptr<SpectralWidener> MakeWidener(float expand) {
  auto s = std::make_unique<SpectralWidener>();
  s->Configure(expand);
  return s;
}

// Runs the widener over `frames` of the signal; returns input and output.
struct Rendered {
  std::vector<StereoSample> in;
  std::vector<StereoSample> out;
};
template <typename Signal>
Rendered Render(SpectralWidener& widener, size_t frames, Signal signal) {
  Rendered r;
  for (size_t n = 0; n < frames; ++n) {
    r.in.push_back(signal(n));
    r.out.push_back(widener.Process(r.in.back().left, r.in.back().right));
  }
  return r;
}

// Spectrum of real noise: the right channel half the left, so every bin is coherent and
// off-centre and the widener moves it.
StereoSpectrum PannedSpectrum(const WolaEngine& engine, Noise& noise) {
  StereoSpectrum s;
  for (size_t n = 0; n < kFftSize; ++n) {
    s.left_re[n] = noise();
    s.right_re[n] = 0.5f * s.left_re[n];
  }
  engine.Fft(s.left_re, s.left_im, false);
  engine.Fft(s.right_re, s.right_im, false);
  return s;
}

TEST(SpectralWidener, NeverTouchesBinsOutsideItsRange) {
  auto widener = MakeWidener(1.0f);
  Noise noise;
  size_t moved = 0;
  for (int frame = 0; frame < 6; ++frame) {
    const StereoSpectrum before = PannedSpectrum(widener->engine, noise);
    StereoSpectrum s = before;
    widener->Apply(s);
    for (size_t k = 0; k < kFftSize; ++k) {
      const bool steered = (k >= 4 && k <= 340) || (k >= 684 && k <= 1020);
      const bool same = s.left_re[k] == before.left_re[k] && s.left_im[k] == before.left_im[k] &&
                        s.right_re[k] == before.right_re[k] && s.right_im[k] == before.right_im[k];
      if (!steered) {
        ASSERT_TRUE(same) << "bin " << k << " changed in frame " << frame;
      } else if (!same) {
        ++moved;
      }
    }
    // A bin and its mirror are scaled alike, so the conjugate pairs survive.
    for (size_t k = 4; k <= 340; ++k) {
      const size_t m = kFftSize - k;
      for (auto part : {&StereoSpectrum::left_re, &StereoSpectrum::right_im}) {
        if (std::fabs((before.*part)[k]) < 1e-2f) continue;
        ASSERT_NEAR((s.*part)[k] / (before.*part)[k], (s.*part)[m] / (before.*part)[m], 1e-5f)
            << "bin " << k;
      }
    }
  }
  EXPECT_GT(moved, 3000u);
}

TEST(SpectralWidener, PushesCoherentOffCentreSoundOutward) {
  auto widener = MakeWidener(1.0f);
  // Tones inside the steered range, right at 0.6 of left: left of centre, fully coherent.
  const Rendered r = Render(*widener, 20000, [](size_t n) {
    const double t = static_cast<double>(n) / 48000.0;
    const float x = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 1000.0 * t) +
                                       0.3 * std::sin(2 * std::numbers::pi * 3100.0 * t) +
                                       0.3 * std::sin(2 * std::numbers::pi * 7300.0 * t));
    return StereoSample{x, 0.6f * x};
  });
  double left = 0.0;
  double right = 0.0;
  for (size_t n = 10000; n < r.out.size(); ++n) {
    left += r.out[n].left * r.out[n].left;
    right += r.out[n].right * r.out[n].right;
  }
  // The angle atan(0.6) lies 0.245 rad left of centre; tripled, it is 0.049 rad from hard left.
  const double a = std::atan(0.6);
  const double phi = std::numbers::pi / 4 + 3.0 * (a - std::numbers::pi / 4);
  const double want_left = std::cos(phi) / std::cos(a);
  const double want_right = std::sin(phi) / std::sin(a);
  EXPECT_NEAR(widener->angle[64], a, 1e-4);
  EXPECT_NEAR(widener->gain_left[64], want_left, 1e-3);
  EXPECT_NEAR(widener->gain_right[64], want_right, 1e-3);
  const double ratio = 0.6 * want_right / want_left;
  EXPECT_NEAR(right / left, ratio * ratio, 0.2 * ratio * ratio);
}

TEST(SpectralWidener, HardLeftStaysHardLeft) {
  auto widener = MakeWidener(1.0f);
  Noise noise;
  const Rendered r = Render(*widener, 12000, [&](size_t) { return StereoSample{noise(), 0.0f}; });
  for (size_t n = 0; n < r.out.size(); ++n) {
    ASSERT_EQ(r.out[n].right, 0.0f) << "frame " << n;
  }
  for (size_t k = 4; k <= 340; ++k) EXPECT_NEAR(widener->angle[k], 0.0f, 1e-6f) << "bin " << k;
  for (size_t n = 8000; n < r.out.size(); ++n) {
    ASSERT_NEAR(r.out[n].left, r.in[n - kWolaLatency].left, 1e-5f) << "frame " << n;
  }
}

TEST(SpectralWidener, ZeroExpandOnlyDelays) {
  auto widener = MakeWidener(0.0f);
  Noise noise;
  const Rendered r = Render(*widener, 8000, [&](size_t) { return StereoSample{noise(), noise()}; });
  for (size_t k = 4; k <= 340; ++k) {
    ASSERT_GT(widener->angle[k], 0.0f);
    ASSERT_LT(widener->angle[k], std::numbers::pi_v<float> / 2);
    EXPECT_NEAR(widener->gain_left[k], 1.0, 1e-11) << "bin " << k;
    EXPECT_NEAR(widener->gain_right[k], 1.0, 1e-11) << "bin " << k;
  }
  for (size_t n = kWolaLatency; n < r.out.size(); ++n) {
    ASSERT_NEAR(r.out[n].left, r.in[n - kWolaLatency].left, 2e-6f);
    ASSERT_NEAR(r.out[n].right, r.in[n - kWolaLatency].right, 2e-6f);
  }
}

TEST(SpectralWidener, MonoIsNotMovedAtFullExpand) {
  auto widener = MakeWidener(1.0f);
  Noise noise;
  const Rendered r = Render(*widener, 8000, [&](size_t) {
    const float x = noise();
    return StereoSample{x, x};
  });
  for (size_t k = 4; k <= 340; ++k) {
    EXPECT_FLOAT_EQ(widener->angle[k], std::numbers::pi_v<float> / 4) << "bin " << k;
  }
  for (size_t n = kWolaLatency; n < r.out.size(); ++n) {
    ASSERT_EQ(r.out[n].left, r.out[n].right);
    ASSERT_NEAR(r.out[n].left, r.in[n - kWolaLatency].left, 2e-6f);
  }
}

TEST(SpectralWidener, ResetRestoresTheStartingState) {
  auto fresh = MakeWidener(0.8f);
  auto used = MakeWidener(0.8f);
  Noise noise;
  Render(*used, 3000, [&](size_t) { return StereoSample{noise(), 0.3f * noise()}; });
  used->Reset();
  EXPECT_EQ(used->expand, 0.8f);
  EXPECT_EQ(used->angle, fresh->angle);
  EXPECT_EQ(used->gain_left, fresh->gain_left);
  EXPECT_EQ(used->power_right, fresh->power_right);
  Noise a;
  Noise b;
  const Rendered ra = Render(*fresh, 2000, [&](size_t) { return StereoSample{a(), 0.3f * a()}; });
  const Rendered rb = Render(*used, 2000, [&](size_t) { return StereoSample{b(), 0.3f * b()}; });
  for (size_t n = 0; n < ra.out.size(); ++n) {
    ASSERT_EQ(ra.out[n].left, rb.out[n].left);
    ASSERT_EQ(ra.out[n].right, rb.out[n].right);
  }
}

TEST(SpectralWidener, VectorAndOneBinAtATimeGiveTheSameBits) {
  auto vector = MakeWidener(0.7f);
  auto scalar = MakeWidener(0.7f);
  Noise noise;
  for (int frame = 0; frame < 40; ++frame) {
    StereoSpectrum s;
    for (size_t k = 0; k < kFftSize; ++k) {
      s.left_re[k] = noise();
      s.left_im[k] = noise();
      // Every kind of bin: independent, panned, mono, one-sided, silent, near-silent.
      switch ((k + static_cast<size_t>(frame)) % 6) {
        case 0:
          s.right_re[k] = noise();
          s.right_im[k] = noise();
          break;
        case 1:
          s.right_re[k] = 0.3f * s.left_re[k];
          s.right_im[k] = 0.3f * s.left_im[k];
          break;
        case 2:
          s.right_re[k] = s.left_re[k];
          s.right_im[k] = s.left_im[k];
          break;
        case 3:
          s.right_re[k] = s.left_re[k];
          s.right_im[k] = s.left_im[k];
          s.left_re[k] = 0.0f;
          s.left_im[k] = 0.0f;
          break;
        case 4:
          s.left_re[k] = s.left_im[k] = s.right_re[k] = s.right_im[k] = 0.0f;
          break;
        default:
          s.left_re[k] *= 1e-7f;
          s.right_re[k] = -2e-7f * s.left_im[k];
          break;
      }
    }
    StereoSpectrum t = s;
    vector->Apply(s);
    scalar->ApplyOneBinAtATime(t);
    ASSERT_EQ(s.left_re, t.left_re) << "frame " << frame;
    ASSERT_EQ(s.left_im, t.left_im) << "frame " << frame;
    ASSERT_EQ(s.right_re, t.right_re) << "frame " << frame;
    ASSERT_EQ(s.right_im, t.right_im) << "frame " << frame;
    ASSERT_EQ(vector->angle, scalar->angle) << "frame " << frame;
    ASSERT_EQ(vector->gain_left, scalar->gain_left) << "frame " << frame;
    ASSERT_EQ(vector->gain_right, scalar->gain_right) << "frame " << frame;
    ASSERT_EQ(vector->cross_im, scalar->cross_im) << "frame " << frame;
  }
  // The gains moved away from 1, so the comparison covered real steering.
  EXPECT_NE(vector->gain_left[100], 1.0f);
}

}  // namespace
}  // namespace halvex
