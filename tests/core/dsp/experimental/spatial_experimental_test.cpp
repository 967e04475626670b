#include "core/dsp/experimental/spatial_experimental.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "core/dsp/echo/spectral_widener.h"
#include "tests/core/dsp/stage_checks.h"
#include "tests/support/processor_render.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

ProcessorConfig ExperimentalConfig() { return test::ConfigFor(SpatialAlgorithm::kExperimental); }

TEST(ExperimentalStage, InactiveOnlyWithoutSpreadAndAtUnitDepth) {
  ProcessorConfig config = ExperimentalConfig();
  config.ambience_spread = 0.0f;
  config.direct_spread = 0.0f;
  config.ambience_depth = 1.0f;
  ExperimentalStage stage;
  stage.Configure(config);
  EXPECT_FALSE(stage.active());
  EXPECT_EQ(stage.Latency(), 0u);
  const std::vector<float> in = test::StereoNoise(2000, 1.0f, 2);
  ASSERT_NO_FATAL_FAILURE(test::ExpectPassesThrough(stage, in));

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
  const std::vector<float> in = test::StereoNoise(4000, 0.9f, 4);
  const std::vector<float> out = test::Render(config, in, 512);
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
  const std::vector<float> in = test::StereoNoise(6000, 0.5f, 12);
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
  const std::vector<float> in = test::StereoNoise(3000, 0.9f, 6);
  const std::vector<float> out = test::Render(config, in, 256);
  SpectralWidener widener;
  widener.Configure(config.stft_expand);
  for (size_t i = 0; i < 3000; ++i) {
    const StereoSample expected = widener.Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(out[2 * i], expected.left) << "frame " << i;
    ASSERT_EQ(out[2 * i + 1], expected.right) << "frame " << i;
  }
  // Unknown algorithm values build the echo widener too.
  config.spatial_algorithm = static_cast<SpatialAlgorithm>(9);
  EXPECT_EQ(test::Render(config, in, 256), out);
}

}  // namespace
}  // namespace halvex
