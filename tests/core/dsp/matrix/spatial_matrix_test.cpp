#include "core/dsp/matrix/spatial_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/processor.h"
#include "tests/support/processor_render.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Full-scale white noise from the engine's LCG, so runs are repeatable.
std::vector<float> Noise(size_t samples, uint32_t seed) {
  return test::UniformNoiseSamples(samples, 1.0f, seed);
}

using test::ConfigFor;

TEST(MatrixSurroundStage, MonoInputIsUnchanged) {
  DenormalGuard guard;
  MatrixSurroundStage stage;
  stage.Configure(DefaultConfig());
  stage.Reset();
  EXPECT_EQ(stage.Latency(), 0u);
  for (const float x : Noise(20000, 7)) {
    const StageOutput out = stage.Process(x, x);
    ASSERT_EQ(out.wet.left, x);
    ASSERT_EQ(out.wet.right, x);
    ASSERT_EQ(out.dry.left, x);
    ASSERT_EQ(out.dry.right, x);
  }
}

// A quiet left-only impulse (the cancel average stays below its silence threshold, so the
// cancellation amount is rear_gain). The band-limited difference s is cancelled from the fronts
// at once, so the right channel is not silent before the surround; the surround itself arrives
// 960 frames later, in phase on the left and inverted on the right, scaled by rear_gain.
TEST(MatrixSurroundStage, LeftOnlyInputCancelsAtOnceAndPlacesTheSurround960FramesLate) {
  DenormalGuard guard;
  constexpr float kRearGain = 0.70794576f;
  constexpr float kAmplitude = 1e-3f;
  constexpr size_t kFrames = 4000;
  MatrixSurroundStage stage;
  stage.Configure(DefaultConfig());
  stage.Reset();
  PassiveMatrix difference;
  difference.Configure();

  std::vector<double> s(kFrames), from_left(kFrames), from_right(kFrames);
  for (size_t n = 0; n < kFrames; ++n) {
    const float l = n == 0 ? kAmplitude : 0.0f;
    const StageOutput out = stage.Process(l, 0.0f);
    s[n] = difference.Decode(l, 0.0f).surround_left;
    // What is left of each channel once the front and the cancellation are taken out.
    from_left[n] = (out.wet.left - l + kRearGain * s[n]) / kRearGain;
    from_right[n] = (kRearGain * s[n] - out.wet.right) / kRearGain;
    if (n < 960) {
      ASSERT_FLOAT_EQ(out.wet.right, kRearGain * static_cast<float>(s[n])) << n;
      ASSERT_NEAR(from_left[n], 0.0, 1e-9) << n;
    }
  }
  EXPECT_GT(std::fabs(s[0]), 1e-6);  // the right channel carried this at frame 0
  EXPECT_GT(from_left[960], 1e-7);
  double ss = 0.0, pp = 0.0, sp = 0.0;
  for (size_t n = 960; n < kFrames; ++n) {
    EXPECT_NEAR(from_left[n], from_right[n], 1e-9) << n;
    sp += s[n - 960] * from_left[n];
    ss += s[n - 960] * s[n - 960];
    pp += from_left[n] * from_left[n];
  }
  // Delayed and coloured by a few dB, but still the same band-limited difference.
  EXPECT_GT(sp / std::sqrt(ss * pp), 0.9);
  EXPECT_NEAR(pp / ss, 1.0, 0.35);
}

TEST(MatrixSteerStage, DryIsTheInputThroughTheReferenceChains) {
  DenormalGuard guard;
  MatrixSteerStage stage;
  stage.Configure(ConfigFor(SpatialAlgorithm::kMatrixSteer));
  stage.Reset();
  EXPECT_EQ(stage.Latency(), 0u);
  HilbertPair left, right;
  const std::vector<float> x = Noise(20000, 3);
  for (size_t n = 0; n + 1 < x.size(); n += 2) {
    const StageOutput out = stage.Process(x[n], x[n + 1]);
    ASSERT_EQ(out.dry.left, left.Process(x[n]).reference);
    ASSERT_EQ(out.dry.right, right.Process(x[n + 1]).reference);
  }
}

// Level of a steady tone after a wet/dry mix at 0.5, relative to the input, in dB.
double MixedToneLevelDb(SpatialAlgorithm algorithm, double hz, bool stereo) {
  ProcessorConfig config = ConfigFor(algorithm);
  config.wet_dry_ratio = 0.5f;
  config.treble_shelf_db = 0.0f;
  Processor p;
  p.Configure(config);
  double in = 0.0, out = 0.0;
  for (size_t n = 0; n < 96000; ++n) {
    const float x = static_cast<float>(0.25 * std::sin(2.0 * kPi * hz * n / 48000.0));
    const StereoSample y = p.ProcessFrame(x, stereo ? 0.5f * x : x);
    if (n < 48000) continue;
    in += static_cast<double>(x) * x;
    out += static_cast<double>(y.left) * y.left;
  }
  return 10.0 * std::log10(out / in);
}

TEST(MatrixSteerStage, WetDryMixDoesNotCombFilter) {
  DenormalGuard guard;
  // Mixing the allpassed fronts with the raw input would notch some frequencies by 20 dB and
  // more; with the reference pair as dry the mix stays level (a centred tone within 1 dB, an
  // off-centre one within what the steering itself moves).
  for (const double hz : {60.0, 300.0, 700.0, 1100.0, 2000.0, 4000.0, 9000.0, 15000.0}) {
    for (const bool stereo : {false, true}) {
      const double db = MixedToneLevelDb(SpatialAlgorithm::kMatrixSteer, hz, stereo);
      const double tolerance = stereo ? 3.0 : 1.0;
      EXPECT_NEAR(db, 0.0, tolerance) << hz << " Hz, stereo " << stereo;
    }
  }
}

class MatrixStages : public ::testing::TestWithParam<SpatialAlgorithm> {};

std::vector<float> Render(SpatialAlgorithm algorithm, const std::vector<float>& samples,
                          size_t block) {
  return test::Render(ConfigFor(algorithm), samples, block);
}

TEST_P(MatrixStages, AreDeterministicBlockInvariantAndBoundedOnFullScaleNoise) {
  DenormalGuard guard;
  const std::vector<float> noise = Noise(2 * 48000, 11);
  const std::vector<float> once = Render(GetParam(), noise, 1);
  EXPECT_EQ(Render(GetParam(), noise, 1), once);
  EXPECT_EQ(Render(GetParam(), noise, 64), once);
  EXPECT_EQ(Render(GetParam(), noise, 2048), once);
  EXPECT_NE(once, noise);
  for (const float y : once) {
    ASSERT_TRUE(std::isfinite(y));
    ASSERT_LE(std::fabs(y), 0.9660509f);  // the limiter ceiling
  }
}

TEST_P(MatrixStages, SilenceGivesSilence) {
  DenormalGuard guard;
  const std::vector<float> out = Render(GetParam(), std::vector<float>(2 * 9600, 0.0f), 256);
  for (const float y : out) ASSERT_EQ(y, 0.0f);
}

TEST_P(MatrixStages, ImpulseDecaysToExactSilence) {
  DenormalGuard guard;
  // Ten seconds after a full-scale impulse on one side every filter has flushed to zero,
  // rather than crawling through subnormal values.
  std::vector<float> in(2 * 480000, 0.0f);
  in[0] = 1.0f;
  const std::vector<float> out = Render(GetParam(), in, 512);
  bool nonzero = false;
  for (size_t i = 0; i < 2 * 48000; ++i) nonzero = nonzero || out[i] != 0.0f;
  EXPECT_TRUE(nonzero);
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_TRUE(std::isfinite(out[i])) << i;
    if (i >= out.size() - 2 * 48000) {
      ASSERT_EQ(out[i], 0.0f) << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Both, MatrixStages,
                         ::testing::Values(SpatialAlgorithm::kMatrixSurround,
                                           SpatialAlgorithm::kMatrixSteer),
                         [](const auto& info) {
                           return info.param == SpatialAlgorithm::kMatrixSurround ? "Surround"
                                                                                  : "Steer";
                         });

}  // namespace
}  // namespace halvex
