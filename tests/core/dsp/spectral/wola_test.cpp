#include "core/dsp/spectral/wola.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

namespace halvex {
namespace {

using Noise = test::UniformNoise<99>;

// Counts frames, remembers the last spectrum, optionally scales every bin.
class Probe : public SpectrumTransform {
 public:
  void Apply(StereoSpectrum& s) override {
    ++frames;
    last = s;
    if (gain != 1.0f) {
      for (auto* a : {&s.left_re, &s.left_im, &s.right_re, &s.right_im}) {
        for (float& v : *a) v *= gain;
      }
    }
  }
  int frames = 0;
  float gain = 1.0f;
  StereoSpectrum last;
};

std::unique_ptr<WolaEngine> MakeEngine() {
  auto e = std::make_unique<WolaEngine>();
  e->Configure();
  return e;
}

TEST(WolaEngineFft, MatchesTheDefinitionOfTheDft) {
  auto e = MakeEngine();
  Noise noise;
  std::array<float, kFftSize> re{};
  std::array<float, kFftSize> im{};
  for (size_t n = 0; n < kFftSize; ++n) {
    re[n] = noise();
    im[n] = noise();
  }
  const auto in_re = re;
  const auto in_im = im;
  e->Fft(re, im, false);
  for (size_t k : {0u, 1u, 5u, 100u, 511u, 512u, 700u, 1023u}) {
    std::complex<double> want = 0.0;
    for (size_t n = 0; n < kFftSize; ++n) {
      want += std::complex<double>(in_re[n], in_im[n]) *
              std::polar(1.0, -2.0 * std::numbers::pi * double(k * n % kFftSize) / kFftSize);
    }
    EXPECT_NEAR(re[k], want.real(), 1e-3) << "bin " << k;
    EXPECT_NEAR(im[k], want.imag(), 1e-3) << "bin " << k;
  }
  e->Fft(re, im, true);
  for (size_t n = 0; n < kFftSize; ++n) {
    ASSERT_NEAR(re[n], in_re[n], 1e-5f);
    ASSERT_NEAR(im[n], in_im[n], 1e-5f);
  }
}

TEST(WolaEngineFft, RealInputGivesConjugateMirrorBins) {
  auto e = MakeEngine();
  Noise noise;
  std::array<float, kFftSize> re{};
  std::array<float, kFftSize> im{};
  for (float& v : re) v = noise();
  e->Fft(re, im, false);
  EXPECT_NEAR(im[0], 0.0f, 1e-4f);
  EXPECT_NEAR(im[512], 0.0f, 1e-4f);
  for (size_t k = 1; k < 512; ++k) {
    ASSERT_NEAR(re[k], re[kFftSize - k], 1e-3f);
    ASSERT_NEAR(im[k], -im[kFftSize - k], 1e-3f);
  }
}

TEST(WolaEngine, UntouchedSpectrumGivesTheInputBack1024FramesLate) {
  auto e = MakeEngine();
  Probe probe;
  Noise noise;
  std::vector<StereoSample> in(6000);
  for (auto& f : in) f = {noise(), 0.5f * noise()};
  for (size_t n = 0; n < in.size(); ++n) {
    const StereoSample out = e->Process(in[n].left, in[n].right, probe);
    if (n < kWolaLatency) {
      // Silence, up to the transform's rounding noise from the frames already under way.
      ASSERT_NEAR(out.left, 0.0f, 1e-6f) << "frame " << n;
      ASSERT_NEAR(out.right, 0.0f, 1e-6f) << "frame " << n;
    } else {
      ASSERT_NEAR(out.left, in[n - kWolaLatency].left, 2e-6f) << "frame " << n;
      ASSERT_NEAR(out.right, in[n - kWolaLatency].right, 2e-6f) << "frame " << n;
    }
  }
}

TEST(WolaEngine, ResynthesisFollowsTheTransform) {
  auto e = MakeEngine();
  Probe probe;
  probe.gain = -0.5f;
  Noise noise;
  std::vector<float> in(4000);
  for (float& v : in) v = noise();
  for (size_t n = 0; n < in.size(); ++n) {
    const StereoSample out = e->Process(in[n], -in[n], probe);
    if (n >= kWolaLatency) {
      ASSERT_NEAR(out.left, -0.5f * in[n - kWolaLatency], 2e-6f);
      ASSERT_NEAR(out.right, 0.5f * in[n - kWolaLatency], 2e-6f);
    }
  }
}

// Blocks of every length, some crossing a transform and some ending on one, give the frames
// of Process calls bit for bit, and the transform sees the same frames.
TEST(WolaEngine, BlocksGiveTheFramesOfSingleCalls) {
  auto single = MakeEngine();
  auto blocked = MakeEngine();
  Probe single_probe;
  Probe blocked_probe;
  single_probe.gain = blocked_probe.gain = -0.5f;
  Noise noise;
  std::vector<StereoSample> in(5000);
  for (auto& f : in) f = {noise(), noise()};
  std::vector<StereoSample> out(in.size());
  size_t done = 0;
  for (size_t length = 1; done < in.size(); length = length % 300 + 7) {
    const size_t n = std::min(length, in.size() - done);
    blocked->ProcessBlock(in.data() + done, out.data() + done, n, blocked_probe);
    done += n;
  }
  for (size_t i = 0; i < in.size(); ++i) {
    const StereoSample expected = single->Process(in[i].left, in[i].right, single_probe);
    ASSERT_EQ(out[i].left, expected.left) << "frame " << i;
    ASSERT_EQ(out[i].right, expected.right) << "frame " << i;
  }
  EXPECT_EQ(blocked_probe.frames, single_probe.frames);
  EXPECT_EQ(blocked->hop_count, single->hop_count);
}

TEST(WolaEngine, TransformsEvery256thFrameStartingWithThe256th) {
  auto e = MakeEngine();
  Probe probe;
  for (int n = 1; n <= 1024; ++n) {
    e->Process(1.0f, 1.0f, probe);
    EXPECT_EQ(probe.frames, n / 256) << "after " << n << " calls";
  }
  e->Reset();
  probe.frames = 0;
  for (int n = 0; n < 255; ++n) e->Process(0.0f, 0.0f, probe);
  EXPECT_EQ(probe.frames, 0);
  e->Process(0.0f, 0.0f, probe);
  EXPECT_EQ(probe.frames, 1);
}

TEST(WolaEngine, AnalyseShowsTheTransformWhatProcessWould) {
  auto a = MakeEngine();
  auto p = MakeEngine();
  Probe seen_by_analyse;
  Probe seen_by_process;
  Noise noise;
  for (int n = 0; n < 1300; ++n) {
    const float l = noise();
    const float r = noise();
    a->Analyse(l, r, seen_by_analyse);
    p->Process(l, r, seen_by_process);
  }
  EXPECT_EQ(seen_by_analyse.frames, 5);
  EXPECT_EQ(seen_by_process.frames, 5);
  EXPECT_EQ(seen_by_analyse.last.left_re, seen_by_process.last.left_re);
  EXPECT_EQ(seen_by_analyse.last.right_im, seen_by_process.last.right_im);
}

// The frame handed over is the last 1024 inputs, oldest first, under the window: a lone impulse
// shows up as a flat magnitude equal to the window value at its position.
TEST(WolaEngine, FrameHoldsTheWindowedLast1024Inputs) {
  auto e = MakeEngine();
  Probe probe;
  for (int n = 0; n < 1024; ++n) e->Analyse(n == 300 ? 1.0f : 0.0f, 0.0f, probe);
  ASSERT_EQ(probe.frames, 4);
  // The impulse entered 723 calls before the last frame, so it sits at n = 1023 - 723 = 300.
  const float w = e->window[300];
  for (size_t k = 0; k < kFftSize; k += 37) {
    EXPECT_NEAR(std::hypot(probe.last.left_re[k], probe.last.left_im[k]), w, 1e-5f) << "bin " << k;
    EXPECT_EQ(probe.last.right_re[k], 0.0f);
  }
  EXPECT_EQ(e->window[0], 0.0f);
  EXPECT_NEAR(e->window[512], 1.0f, 1e-7f);
}

TEST(WolaEngine, SilenceInGivesExactSilenceOut) {
  auto e = MakeEngine();
  Probe probe;
  for (int n = 0; n < 3000; ++n) {
    const StereoSample out = e->Process(0.0f, 0.0f, probe);
    ASSERT_EQ(out.left, 0.0f);
    ASSERT_EQ(out.right, 0.0f);
  }
}

TEST(WolaEngine, ResetRestartsSilentAndInPhase) {
  auto fresh = MakeEngine();
  auto used = MakeEngine();
  Probe probe;
  Noise noise;
  for (int n = 0; n < 1777; ++n) used->Process(noise(), noise(), probe);
  used->Reset();
  for (int n = 0; n < 3000; ++n) {
    const float l = noise();
    const float r = noise();
    const StereoSample a = fresh->Process(l, r, probe);
    const StereoSample b = used->Process(l, r, probe);
    ASSERT_EQ(a.left, b.left);
    ASSERT_EQ(a.right, b.right);
  }
}

}  // namespace
}  // namespace halvex
