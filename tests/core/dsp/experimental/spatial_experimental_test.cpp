#include "core/dsp/experimental/spatial_experimental.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "core/dsp/echo/spectral_widener.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

ProcessorConfig ExperimentalConfig() {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = SpatialAlgorithm::kExperimental;
  return config;
}

std::vector<float> Noise(size_t frames, float amplitude, uint32_t seed) {
  return test::UniformNoiseSamples(2 * frames, amplitude, seed);
}

std::vector<float> Impulse(size_t frames) {
  std::vector<float> out(2 * frames, 0.0f);
  out[0] = 1.0f;
  out[1] = 1.0f;
  return out;
}

std::vector<float> Render(const ProcessorConfig& config, std::vector<float> samples, size_t block) {
  Processor processor;
  processor.Configure(config);
  const size_t frames = samples.size() / 2;
  for (size_t start = 0; start < frames; start += block) {
    processor.ProcessBlock(samples.data() + 2 * start, std::min(block, frames - start), 2);
  }
  return samples;
}

TEST(ExperimentalStage, InactiveOnlyWithoutSpreadAndAtUnitDepth) {
  ProcessorConfig config = ExperimentalConfig();
  config.ambience_spread = 0.0f;
  config.direct_spread = 0.0f;
  config.ambience_depth = 1.0f;
  ExperimentalStage stage;
  stage.Configure(config);
  EXPECT_FALSE(stage.active());
  EXPECT_EQ(stage.Latency(), 0u);
  const std::vector<float> in = Noise(2000, 1.0f, 2);
  for (size_t i = 0; i < 2000; ++i) {
    const StageOutput out = stage.Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(out.wet.left, in[2 * i]);
    ASSERT_EQ(out.wet.right, in[2 * i + 1]);
    ASSERT_EQ(out.dry.left, in[2 * i]);
    ASSERT_EQ(out.dry.right, in[2 * i + 1]);
  }

  // The block call passes an inactive stage's input through as well.
  std::vector<StereoSample> frames(64);
  for (size_t i = 0; i < frames.size(); ++i) frames[i] = {in[2 * i], in[2 * i + 1]};
  std::vector<StageOutput> block(frames.size());
  stage.ProcessBlock(frames.data(), block.data(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(block[i].wet.left, frames[i].left);
    ASSERT_EQ(block[i].wet.right, frames[i].right);
    ASSERT_EQ(block[i].dry.left, frames[i].left);
    ASSERT_EQ(block[i].dry.right, frames[i].right);
  }

  config.ambience_depth = 2.0f;
  stage.Configure(config);
  EXPECT_TRUE(stage.active());
  EXPECT_EQ(stage.Latency(), 1024u);
  stage.Configure(ExperimentalConfig());  // the defaults spread the ambience
  EXPECT_TRUE(stage.active());
}

TEST(ExperimentalStage, DryMixIsTheInputExactlyOneTransformLate) {
  ProcessorConfig config = ExperimentalConfig();
  config.wet_dry_ratio = 0.0f;
  const std::vector<float> in = Noise(4000, 0.9f, 4);
  const std::vector<float> out = Render(config, in, 512);
  for (size_t i = 0; i < 4000; ++i) {
    const float expected_left = i < 1024 ? 0.0f : in[2 * (i - 1024)];
    const float expected_right = i < 1024 ? 0.0f : in[2 * (i - 1024) + 1];
    ASSERT_EQ(out[2 * i], expected_left) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], expected_right) << "frame " << i;
  }
}

TEST(ExperimentalStage, WetSignalIsAlignedWithTheDrySignal) {
  // A half mix must not comb-filter: with spread and depth neutralised except for a tiny
  // direct spread the wet signal is nearly the dry one, so the mix tracks the delayed input.
  ProcessorConfig config = ExperimentalConfig();
  config.ambience_spread = 0.0f;
  config.direct_spread = 0.0f;
  config.ambience_depth = 1.0001f;  // active, but almost the identity
  ExperimentalStage stage;
  stage.Configure(config);
  const std::vector<float> in = Noise(6000, 0.5f, 12);
  double error = 0.0;
  double energy = 0.0;
  for (size_t i = 0; i < 6000; ++i) {
    const StageOutput out = stage.Process(in[2 * i], in[2 * i + 1]);
    if (i >= 2048) {
      error += std::pow(out.wet.left - out.dry.left, 2.0);
      energy += std::pow(out.dry.left, 2.0);
    }
  }
  EXPECT_LT(error / energy, 1e-3);
}

TEST(EchoWidenerInProcessor, DryMixIsThePreStagedInput) {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = SpatialAlgorithm::kEchoWidener;
  config.wet_dry_ratio = 0.0f;
  const std::vector<float> in = Noise(3000, 0.9f, 6);
  const std::vector<float> out = Render(config, in, 256);
  SpectralWidener widener;
  widener.Configure(config.stft_expand);
  for (size_t i = 0; i < 3000; ++i) {
    const StereoSample expected = widener.Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(out[2 * i], expected.left) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], expected.right) << "frame " << i;
  }
  // Unknown algorithm values build the echo widener too.
  config.spatial_algorithm = static_cast<SpatialAlgorithm>(9);
  EXPECT_EQ(Render(config, in, 256), out);
}

// Both of these stages, on the signals that break filters: full-scale white noise, silence, a
// single impulse. The output must be finite, identical from run to run, and independent of
// how the signal is cut into blocks.
TEST(EchoAndExperimentalInProcessor, DeterministicBlockInvariantAndFinite) {
  std::vector<ProcessorConfig> configs;
  for (SpatialAlgorithm algorithm :
       {SpatialAlgorithm::kEchoWidener, SpatialAlgorithm::kExperimental}) {
    ProcessorConfig config = DefaultConfig();
    config.spatial_algorithm = algorithm;
    configs.push_back(config);
  }
  ProcessorConfig everything = configs[1];  // every option of the experimental stage on
  everything.direct_spread = 1.0f;
  everything.ambience_depth = 4.0f;
  everything.render_target = RenderTarget::kSpeakers;
  configs.push_back(everything);
  ProcessorConfig echo_all = configs[0];
  echo_all.echo_mid_gain = 1.0f;
  echo_all.echo_side_gain = -4.0f;
  echo_all.steer_amount = 1.0f;
  echo_all.steer_depth = 1.0f;
  echo_all.stft_expand = 1.0f;
  echo_all.haas_delay_ms = 25.0f;
  configs.push_back(echo_all);

  const size_t frames = 6000;
  const std::vector<std::vector<float>> inputs = {
      Noise(frames, 1.0f, 99), std::vector<float>(2 * frames, 0.0f), Impulse(frames)};
  for (size_t c = 0; c < configs.size(); ++c) {
    for (size_t s = 0; s < inputs.size(); ++s) {
      const std::vector<float> one = Render(configs[c], inputs[s], 1);
      for (float v : one) ASSERT_TRUE(std::isfinite(v)) << "config " << c << " signal " << s;
      ASSERT_EQ(Render(configs[c], inputs[s], 64), one) << "config " << c << " signal " << s;
      ASSERT_EQ(Render(configs[c], inputs[s], 2048), one) << "config " << c << " signal " << s;
      if (s == 1) {
        for (float v : one) ASSERT_EQ(v, 0.0f) << "config " << c;
      }
    }
    // Something comes out of the impulse and the noise.
    const std::vector<float> noise_out = Render(configs[c], inputs[0], 512);
    double energy = 0.0;
    for (size_t i = 2048 * 2; i < noise_out.size(); ++i) energy += noise_out[i] * noise_out[i];
    EXPECT_GT(energy, 1.0) << "config " << c;
  }
}

}  // namespace
}  // namespace halvex
