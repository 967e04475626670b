#include "core/dsp/processor.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/output_stage.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

std::vector<float> Noise(size_t frames, size_t channels, uint32_t seed = 1) {
  return test::FullScaleNoiseSamples(frames * channels, seed);
}

OutputParams Plain() {
  OutputParams p;
  p.treble_shelf_db = 0.0f;
  p.bass_shelf_db = 0.0f;
  return p;
}

TEST(OutputStage, HaasDelayActsOnOneChannelOnly) {
  OutputStage stage;
  OutputParams p = Plain();
  p.highpass_hz = 0.001f;  // effectively transparent, so the delay is visible sample by sample
  p.ceiling_db = 20.0f;
  p.haas_delay_samples = 5;
  p.haas_left = false;
  stage.Configure(p);
  stage.Reset();
  std::vector<StereoSample> out;
  for (int n = 0; n < 12; ++n) out.push_back(stage.Process({n == 0 ? 0.5f : 0.0f, n == 0 ? 0.5f : 0.0f}));
  EXPECT_NEAR(out[0].left, 0.5f, 1e-3f);
  for (int n = 0; n < 5; ++n) EXPECT_EQ(out[n].right, 0.0f) << n;
  EXPECT_NEAR(out[5].right, 0.5f, 1e-3f);
}

TEST(OutputStage, ResetClearsDelayLineAndFilters) {
  OutputStage stage;
  OutputParams p;
  p.haas_delay_samples = 100;
  stage.Configure(p);
  stage.Reset();
  for (int n = 0; n < 500; ++n) stage.Process({0.9f, -0.9f});
  stage.Reset();
  for (int n = 0; n < 100; ++n) {
    const StereoSample s = stage.Process({0.0f, 0.0f});
    EXPECT_EQ(s.left, 0.0f);
    EXPECT_EQ(s.right, 0.0f);
  }
}

TEST(OutputStage, NeverExceedsTheCeiling) {
  OutputStage stage;
  OutputParams p;
  p.treble_shelf_db = 6.0f;
  stage.Configure(p);
  stage.Reset();
  const std::vector<float> loud = Noise(20000, 2);
  for (size_t i = 0; i < 20000; ++i) {
    const StereoSample s = stage.Process({4.0f * loud[2 * i], 4.0f * loud[2 * i + 1]});
    EXPECT_LE(std::fabs(s.left), 0.96605086f);
    EXPECT_LE(std::fabs(s.right), 0.96605086f);
  }
}

// The block call runs both channels as vector lanes where the CPU can; it must give the frame
// call's bits with every filter and the Haas delay on either side, across the limiter's knees.
TEST(OutputStage, BlocksGiveTheBitsOfFrameByFrame) {
  struct Case {
    const char* name;
    float treble_db, bass_db;
    size_t haas;
    bool haas_left;
  };
  const Case cases[] = {{"plain", 0.0f, 0.0f, 0, true},
                        {"treble", 6.0f, 0.0f, 0, true},
                        {"bass", 0.0f, -4.0f, 0, true},
                        {"everything, haas left", 3.0f, 2.0f, 17, true},
                        {"everything, haas right", -5.0f, -3.0f, 2047, false}};
  const std::vector<float> input = Noise(6000, 2, 3);
  for (const Case& c : cases) {
    OutputParams p;
    p.treble_shelf_db = c.treble_db;
    p.bass_shelf_db = c.bass_db;
    p.haas_delay_samples = c.haas;
    p.haas_left = c.haas_left;
    OutputStage by_frame, by_block;
    by_frame.Configure(p);
    by_block.Configure(p);
    std::vector<StereoSample> frames(6000);
    for (size_t i = 0; i < frames.size(); ++i) {
      frames[i] = {3.0f * input[2 * i], 3.0f * input[2 * i + 1]};  // far past the knee at times
    }
    std::vector<StereoSample> expected(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) expected[i] = by_frame.Process(frames[i]);
    for (size_t at = 0; at < frames.size(); at += 61) {
      by_block.ProcessBlock(frames.data() + at, std::min<size_t>(61, frames.size() - at));
    }
    EXPECT_EQ(0, std::memcmp(frames.data(), expected.data(), frames.size() * sizeof(StereoSample)))
        << c.name;
  }
}

TEST(Processor, UnconfiguredPassesEverythingThrough) {
  Processor p;
  const StereoSample s = p.ProcessFrame(0.25f, -0.75f);
  EXPECT_EQ(s.left, 0.25f);
  EXPECT_EQ(s.right, -0.75f);
  std::vector<float> block = Noise(64, 2);
  const std::vector<float> before = block;
  p.ProcessBlock(block.data(), 64, 2);
  EXPECT_EQ(block, before);
}

TEST(Processor, BlockTouchesOnlyTheFirstTwoChannels) {
  Processor p;
  p.Configure(DefaultConfig());
  std::vector<float> mono = Noise(32, 1);
  const std::vector<float> mono_before = mono;
  p.ProcessBlock(mono.data(), 32, 1);
  EXPECT_EQ(mono, mono_before);

  std::vector<float> quad = Noise(256, 4);
  const std::vector<float> quad_before = quad;
  p.ProcessBlock(quad.data(), 256, 4);
  size_t changed = 0;
  for (size_t i = 0; i < 256; ++i) {
    EXPECT_EQ(quad[4 * i + 2], quad_before[4 * i + 2]);
    EXPECT_EQ(quad[4 * i + 3], quad_before[4 * i + 3]);
    changed += quad[4 * i] != quad_before[4 * i];
  }
  EXPECT_GT(changed, 200u);
}

TEST(Processor, HaasFramesFromMilliseconds) {
  // An impulse on both channels shows the delay as the offset of the delayed channel's peak.
  auto delay_of = [](float ms, int channel) {
    ProcessorConfig c = DefaultConfig();
    // The experimental stage is inactive with these settings, so wet is the input itself.
    c.spatial_algorithm = SpatialAlgorithm::kExperimental;
    c.ambience_spread = 0.0f;
    c.direct_spread = 0.0f;
    c.ambience_depth = 1.0f;
    c.treble_shelf_db = 0.0f;
    c.haas_delay_ms = ms;
    c.haas_channel = channel;
    Processor p;
    p.Configure(c);
    int left_peak = -1, right_peak = -1;
    for (int n = 0; n < 1400; ++n) {
      const StereoSample s = p.ProcessFrame(n == 0 ? 0.5f : 0.0f, n == 0 ? 0.5f : 0.0f);
      if (left_peak < 0 && std::fabs(s.left) > 0.1f) left_peak = n;
      if (right_peak < 0 && std::fabs(s.right) > 0.1f) right_peak = n;
    }
    return channel == 1 ? left_peak - right_peak : right_peak - left_peak;
  };
  EXPECT_EQ(delay_of(0.01f, 1), 0);
  EXPECT_EQ(delay_of(0.0105f, 1), 1);
  EXPECT_EQ(delay_of(25.0f, 1), 1200);
  EXPECT_EQ(delay_of(10.0f, 0), 480);
  EXPECT_EQ(delay_of(10.0f, 7), 480);
}

TEST(Processor, DryMixBypassesTheOutputStage) {
  ProcessorConfig c = DefaultConfig();
  c.wet_dry_ratio = 0.0f;
  c.haas_delay_ms = 12.0f;
  Processor p;
  p.Configure(c);
  // Zero-latency default stage: the dry signal is the input itself, unfiltered and unlimited.
  for (float x : {0.0f, 1.7f, -3.0f, 0.123f}) {
    const StereoSample s = p.ProcessFrame(x, -x);
    EXPECT_EQ(s.left, x);
    EXPECT_EQ(s.right, -x);
  }
}

TEST(Processor, ReconfigureStartsFromSilence) {
  ProcessorConfig c = DefaultConfig();
  c.haas_delay_ms = 20.0f;
  Processor fresh;
  fresh.Configure(c);
  Processor reused;
  reused.Configure(c);
  for (int n = 0; n < 3000; ++n) reused.ProcessFrame(0.8f, -0.8f);
  reused.Configure(c);
  for (int n = 0; n < 2000; ++n) {
    const float x = std::sin(n * 0.01f);
    const StereoSample a = fresh.ProcessFrame(x, x);
    const StereoSample b = reused.ProcessFrame(x, x);
    ASSERT_EQ(a.left, b.left) << n;
    ASSERT_EQ(a.right, b.right) << n;
  }
}

TEST(Processor, NonFiniteInputDoesNotPoisonLaterOutput) {
  for (int algorithm = 0; algorithm <= 4; ++algorithm) {
    ProcessorConfig c = DefaultConfig();
    c.spatial_algorithm = static_cast<SpatialAlgorithm>(algorithm);
    c.wet_dry_ratio = 0.5f;
    Processor clean;
    clean.Configure(c);
    Processor hit;
    hit.Configure(c);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    // The bad frames read as silence, so both processors stay in step bit for bit.
    for (int n = 0; n < 6000; ++n) {
      const float x = 0.3f * std::sin(n * 0.05f);
      const bool bad = n == 100 || n == 101;
      const StereoSample a = clean.ProcessFrame(bad ? 0.0f : x, bad ? 0.0f : -x);
      const StereoSample b = hit.ProcessFrame(n == 100 ? nan : (n == 101 ? inf : x),
                                              n == 101 ? -inf : (n == 100 ? nan : -x));
      ASSERT_TRUE(std::isfinite(b.left) && std::isfinite(b.right)) << algorithm << " " << n;
      ASSERT_EQ(a.left, b.left) << algorithm << " " << n;
      ASSERT_EQ(a.right, b.right) << algorithm << " " << n;
    }
  }
}

TEST(DenormalGuard, FlushesSubnormalResultsWhileAlive) {
  volatile float tiny = 1e-38f;
  volatile float half = 0.01f;
  {
    DenormalGuard guard;
    EXPECT_EQ(tiny * half, 0.0f);
  }
  EXPECT_NE(tiny * half, 0.0f);
}

}  // namespace
}  // namespace halvex
