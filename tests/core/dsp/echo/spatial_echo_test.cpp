#include "core/dsp/echo/spatial_echo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/filters/filterbank.h"
#include "core/dsp/processor.h"
#include "core/dsp/echo/spectral_widener.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

ProcessorConfig EchoConfig() {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = SpatialAlgorithm::kEchoWidener;
  return config;
}

std::unique_ptr<EchoWidenerStage> MakeStage(const ProcessorConfig& config) {
  auto stage = std::make_unique<EchoWidenerStage>();
  stage->Configure(config);
  return stage;
}

// Uniform noise in [-amplitude, amplitude), interleaved stereo, independent channels.
TEST(EchoWidener, LatencyAndDryFollowTheSpectralPreStage) {
  ProcessorConfig config = EchoConfig();
  config.stft_expand = 0.0f;
  auto plain = MakeStage(config);
  EXPECT_EQ(plain->Latency(), 0u);
  EXPECT_EQ(plain->band_count(), 15u);

  config.stft_expand = 0.4f;
  auto staged = MakeStage(config);
  EXPECT_EQ(staged->Latency(), 1024u);
  SpectralWidener reference;
  reference.Configure(0.4f);

  const std::vector<float> in = test::StereoNoise(3000, 0.5f, 7);
  for (size_t i = 0; i < 3000; ++i) {
    const StageOutput a = plain->Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(a.dry.left, in[2 * i]);
    ASSERT_EQ(a.dry.right, in[2 * i + 1]);
    const StageOutput b = staged->Process(in[2 * i], in[2 * i + 1]);
    const StereoSample expected = reference.Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(b.dry.left, expected.left) << "frame " << i;
    ASSERT_EQ(b.dry.right, expected.right) << "frame " << i;
  }
}

// The pre-stage only changes what the echo stage is fed: the staged stage equals a stage
// without it fed the widener's output (its band filters run whole blocks ahead instead of frame
// by frame, so up to rounding).
TEST(EchoWidener, PreStagedStageEchoesTheWidenersOutput) {
  ProcessorConfig config = EchoConfig();
  auto staged = MakeStage(config);
  config.stft_expand = 0.0f;
  auto plain = MakeStage(config);
  SpectralWidener widener;
  widener.Configure(0.4f);
  constexpr size_t kFrames = 6000;
  const std::vector<float> in = test::StereoNoise(kFrames, 1.0f, 13);
  float worst = 0.0f;
  float loudest = 0.0f;
  for (size_t i = 0; i < kFrames; ++i) {
    const StageOutput a = staged->Process(in[2 * i], in[2 * i + 1]);
    const StereoSample s = widener.Process(in[2 * i], in[2 * i + 1]);
    const StageOutput b = plain->Process(s.left, s.right);
    worst = std::max({worst, std::abs(a.wet.left - b.wet.left),
                      std::abs(a.wet.right - b.wet.right)});
    loudest = std::max({loudest, std::abs(b.wet.left), std::abs(b.wet.right)});
  }
  EXPECT_GT(loudest, 0.1f);
  EXPECT_LT(worst, 1e-6f);
}

// One band covering everything is a pure 127-frame delay, so an impulse comes back as the four
// taps, at their delays plus 127 frames, with their gains and signs, +-1.5 times (side gain 3).
TEST(EchoWidener, SingleBandImpulseShowsTapDelaysGainsAndPolarity) {
  ProcessorConfig config = EchoConfig();
  config.stft_expand = 0.0f;
  config.steer_amount = 0.0f;
  config.steer_depth = 0.0f;
  // Echoes on one side only (taps at 48, 82, 139, 226 frames), left first, then right.
  for (size_t side = 0; side < 2; ++side) {
    config.bands = {{1000.0f, side == 0 ? 1.0f : 0.0f, side == 0 ? 0.0f : 1.0f}};
    auto stage = MakeStage(config);
    ASSERT_EQ(stage->band_count(), 1u);
    EXPECT_EQ(stage->tap_delay(side, 0, 3), 226u);
    EXPECT_EQ(stage->tap_delay(1 - side, 0, 0), 0u);

    // The echo, as 1.5 (eL - eR) on the left and its negative on the right.
    std::vector<float> side_echo(600, 0.0f);
    const float sign = side == 0 ? 1.0f : -1.0f;
    side_echo[127 + 48] = sign * 0.75f;
    side_echo[127 + 82] = sign * -0.375f;
    side_echo[127 + 139] = sign * 0.1875f;
    side_echo[127 + 226] = sign * -0.09375f;
    for (size_t t = 0; t < 600; ++t) {
      const float impulse = t == 0 ? 1.0f : 0.0f;
      const StageOutput out =
          stage->Process(side == 0 ? impulse : 0.0f, side == 1 ? impulse : 0.0f);
      // The band filter is a pure delay up to the rounding of its fast convolution.
      ASSERT_NEAR(out.wet.left, (side == 0 ? impulse : 0.0f) + side_echo[t], 1e-6)
          << "frame " << t;
      ASSERT_NEAR(out.wet.right, (side == 1 ? impulse : 0.0f) - side_echo[t], 1e-6)
          << "frame " << t;
    }
  }
}

// With steering off the impulse response of the whole stage is known in closed form from the
// band designs: wet.left = x + 1.5 (eL - eR), each echo a sum of delayed band responses.
// Also with a band between heard ones that is never heard (all its taps off).
TEST(EchoWidener, DefaultImpulseResponseIsTheSumOfDelayedBandFilters) {
  for (size_t silent_band : {size_t{0}, size_t{6}}) {
    ProcessorConfig config = EchoConfig();
    config.stft_expand = 0.0f;
    config.steer_amount = 0.0f;
    config.steer_depth = 0.0f;
    config.bands[silent_band].l_base_ms = 0.0f;
    config.bands[silent_band].r_base_ms = 0.0f;
    auto stage = MakeStage(config);
    SCOPED_TRACE(silent_band);

    BandEdges edges{};
    const size_t n = EchoWidenerStage::BuildBands(config, edges);
    const LinkwitzRileyFir crossover;
    constexpr size_t kLength = 1300;
    std::vector<double> echo_left(kLength, 0.0);
    std::vector<double> echo_right(kLength, 0.0);
    for (size_t b = 0; b < n; ++b) {
      const FirCoeffs h = crossover.BandFir(edges[b], edges[b + 1], 256);
      for (size_t k = 0; k < 4; ++k) {
        const size_t dl = stage->tap_delay(0, b, k);
        const size_t dr = stage->tap_delay(1, b, k);
        for (size_t i = 0; i < 256; ++i) {
          if (dl != 0) echo_left[dl + i] += stage->tap_gains()[k] * h[i];
          if (dr != 0) echo_right[dr + i] += stage->tap_gains()[k] * h[i];
        }
      }
    }
    for (size_t t = 0; t < kLength; ++t) {
      const StageOutput out = stage->Process(t == 0 ? 1.0f : 0.0f, 0.0f);
      // Left impulse only: the right band signals are silent.
      const double side = echo_left[t];
      ASSERT_NEAR(out.wet.left, (t == 0 ? 1.0 : 0.0) + 1.5 * side, 1e-6) << "frame " << t;
      ASSERT_NEAR(out.wet.right, -1.5 * side, 1e-6) << "frame " << t;
    }
    // And a right impulse uses the right delays.
    stage->Reset();
    for (size_t t = 0; t < kLength; ++t) {
      const StageOutput out = stage->Process(0.0f, t == 0 ? 1.0f : 0.0f);
      ASSERT_NEAR(out.wet.left, -1.5 * echo_right[t], 1e-6) << "frame " << t;
    }
  }
}

TEST(EchoWidener, DefaultEchoesOnlyWidenTheSideChannel) {
  ProcessorConfig config = EchoConfig();
  config.stft_expand = 0.0f;
  auto stage = MakeStage(config);
  const std::vector<float> in = test::StereoNoise(20000, 0.7f, 3);
  double side_change = 0.0;
  for (size_t i = 0; i < 20000; ++i) {
    const float l = in[2 * i];
    const float r = in[2 * i + 1];
    const StageOutput out = stage->Process(l, r);
    ASSERT_NEAR(out.wet.left + out.wet.right, l + r, 2e-6f) << "frame " << i;
    side_change += std::fabs((out.wet.left - out.wet.right) - (l - r));
  }
  EXPECT_GT(side_change / 20000.0, 0.05);  // the echoes are really there
}

TEST(EchoWidener, NoBandsOrNoGainsGiveTheInputBack) {
  ProcessorConfig empty = EchoConfig();
  empty.stft_expand = 0.0f;
  empty.bands.clear();
  ProcessorConfig silent = EchoConfig();
  silent.stft_expand = 0.0f;
  silent.echo_side_gain = 0.0f;
  silent.echo_mid_gain = 0.0f;
  for (const ProcessorConfig& config : {empty, silent}) {
    auto stage = MakeStage(config);
    const std::vector<float> in = test::StereoNoise(3000, 1.0f, 5);
    for (size_t i = 0; i < 3000; ++i) {
      const StageOutput out = stage->Process(in[2 * i], in[2 * i + 1]);
      ASSERT_EQ(out.wet.left, in[2 * i]);
      ASSERT_EQ(out.wet.right, in[2 * i + 1]);
    }
  }
}

TEST(EchoWidener, ZeroFrequencyRowStaysFinite) {
  ProcessorConfig config = EchoConfig();
  config.bands[3].freq_hz = 0.0f;
  config.bands[9].freq_hz = -20.0f;
  auto stage = MakeStage(config);
  const std::vector<float> in = test::StereoNoise(4000, 1.0f, 9);
  for (size_t i = 0; i < 4000; ++i) {
    const StageOutput out = stage->Process(in[2 * i], in[2 * i + 1]);
    ASSERT_TRUE(std::isfinite(out.wet.left) && std::isfinite(out.wet.right)) << "frame " << i;
  }
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

// The band split must give the same bits on every CPU (each instruction-set build against the
// baseline build), and the inner products of a FirFilter fed the same signal.
TEST(EchoBatch, EveryBuildGivesTheBitsOfOneFrameAtATime) {
  test::UniformNoise<91> next;
  constexpr size_t kLines = 5;
  constexpr size_t kBatch = EchoWidenerStage::kEchoBatch;
  auto lines = std::make_unique<std::array<EchoWidenerStage::EchoLine, kLines>>();
  for (auto& line : *lines) {
    for (size_t i = 0; i < EchoWidenerStage::kEchoLineLength; ++i) line.samples[i] = next();
    // The repeated slots past the end, as the stage keeps them.
    for (size_t i = 0; i < kBatch; ++i) {
      line.samples[EchoWidenerStage::kEchoLineLength + i] = line.samples[i];
    }
  }
  // Shortest and longest delays, and taps that start a batch just past a wrap.
  std::vector<EchoWidenerStage::ActiveTap> taps;
  for (uint32_t d : {8u, 9u, 2047u, 1000u, 13u, 8u, 2040u, 500u}) {
    taps.push_back({static_cast<uint32_t>(taps.size() % kLines), d, next()});
  }
  size_t builds_run = 0;
  for (size_t write : {size_t{0}, size_t{3}, size_t{7}, size_t{1040}, size_t{2047}}) {
    std::array<float, kBatch> base{};
    ASSERT_TRUE(SumEchoBatch(SplitLevel::kBaseline, lines->data(), taps.data(), taps.size(),
                             write, base.data()));
    for (size_t j = 0; j < kBatch; ++j) {
      // Frame j reads each tap's slot from the frame's own write index, in list order.
      float chain = 0.0f;
      for (const auto& t : taps) {
        const size_t slot = (write + j - t.delay) & (EchoWidenerStage::kEchoLineLength - 1);
        chain = std::fmaf(t.gain, (*lines)[t.band].samples[slot], chain);
      }
      ASSERT_EQ(base[j], chain) << "write " << write << " frame " << j;
    }
    std::array<float, kBatch> vec{};
    if (SumEchoBatch(SplitLevel::kAvx2, lines->data(), taps.data(), taps.size(), write,
                     vec.data())) {
      ++builds_run;
      ASSERT_EQ(vec, base) << "write " << write;
    }
  }
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_EQ(builds_run, 5u);
  }
}

TEST(EchoBatch, ShortTapsGiveTheSameEchoesAsLongOnes) {
  // A tap shorter than a batch makes the stage sum one frame at a time, a long one a batch
  // at a time; with only the first tap heard, lengthening it by 48 frames must shift the
  // echoes of an impulse by exactly 48 frames, bit for bit.
  ProcessorConfig config = EchoConfig();
  config.stft_expand = 0.0f;
  config.steer_amount = 0.0f;
  config.steer_depth = 0.0f;
  config.tap_volumes = {0.5f, 0.0f, 0.0f, 0.0f};
  config.bands = {{1000.0f, 0.0f, 0.0f}, {2000.0f, 0.1f, 0.1f}, {4000.0f, 0.0f, 0.0f}};
  ProcessorConfig longer = config;
  longer.bands[1] = {2000.0f, 1.1f, 1.1f};
  auto short_taps = MakeStage(config);
  auto long_taps = MakeStage(longer);
  ASSERT_LT(short_taps->tap_delay(0, 1, 0), EchoWidenerStage::kEchoBatch);
  for (size_t c = 0; c < 2; ++c) {
    ASSERT_EQ(long_taps->tap_delay(c, 1, 0), short_taps->tap_delay(c, 1, 0) + 48);
  }
  constexpr size_t kFrames = 700;
  std::vector<StereoSample> out_short;
  std::vector<StereoSample> out_long;
  for (size_t i = 0; i < kFrames; ++i) {
    const float l = i == 0 ? 1.0f : 0.0f;
    const float r = i == 0 ? -0.5f : 0.0f;
    out_short.push_back(short_taps->Process(l, r).wet);
    out_long.push_back(long_taps->Process(l, r).wet);
  }
  float peak = 0.0f;
  for (size_t i = 1; i + 48 < kFrames; ++i) {
    ASSERT_EQ(out_long[i + 48].left, out_short[i].left) << "frame " << i;
    ASSERT_EQ(out_long[i + 48].right, out_short[i].right) << "frame " << i;
    peak = std::max(peak, std::fabs(out_short[i].left));
  }
  EXPECT_GT(peak, 0.01f);
}

}  // namespace
}  // namespace halvex
