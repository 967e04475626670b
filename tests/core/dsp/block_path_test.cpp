// Every algorithm's block paths against its frame path, to the bit: frame by frame is the
// reference; the stage's own block call in uneven lengths, and the processor's interleaved and
// planar calls in blocks of every size, must give the same output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/kit/denormal_guard.h"
#include "core/dsp/processor.h"
#include "core/dsp/spatial_stage.h"
#include "tests/support/processor_render.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

struct BlockCase {
  std::string name;
  ProcessorConfig config;
};

void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }

// Each algorithm at its defaults for both render targets, and the settings that take other
// code paths: the echo widener without its spectral pre-stage, with taps shorter than a batch of
// echoes and with every option on; the experimental stage with every option on; the matrix
// stages with panorama, no centre width and more dimension.
std::vector<BlockCase> Cases() {
  const struct {
    const char* name;
    SpatialAlgorithm algorithm;
  } algorithms[] = {{"Echo", SpatialAlgorithm::kEchoWidener},
                    {"Experimental", SpatialAlgorithm::kExperimental},
                    {"DeepField", SpatialAlgorithm::kDeepField},
                    {"Surround", SpatialAlgorithm::kMatrixSurround},
                    {"Steer", SpatialAlgorithm::kMatrixSteer}};
  std::vector<BlockCase> cases;
  for (const auto& a : algorithms) {
    ProcessorConfig config = test::ConfigFor(a.algorithm);
    config.haas_delay_ms = 3.0f;  // the output stage's delay and shelf in the path too
    config.bass = 0.5f;
    config.render_target = RenderTarget::kHeadphones;
    cases.push_back({std::string(a.name) + "Headphones", config});
    config.render_target = RenderTarget::kSpeakers;
    cases.push_back({std::string(a.name) + "Speakers", config});
  }
  ProcessorConfig echo = test::ConfigFor(SpatialAlgorithm::kEchoWidener);
  echo.stft_expand = 0.0f;
  cases.push_back({"EchoWithoutPreStage", echo});
  echo = test::ConfigFor(SpatialAlgorithm::kEchoWidener);
  echo.bands[3].l_base_ms = 0.1f;
  cases.push_back({"EchoTapsUnderABatch", echo});
  echo = test::ConfigFor(SpatialAlgorithm::kEchoWidener);
  echo.echo_mid_gain = 1.0f;
  echo.echo_side_gain = -4.0f;
  echo.steer_amount = 1.0f;
  echo.steer_depth = 1.0f;
  echo.stft_expand = 1.0f;
  echo.haas_delay_ms = 25.0f;
  cases.push_back({"EchoEverythingOn", echo});
  ProcessorConfig experimental = test::ConfigFor(SpatialAlgorithm::kExperimental);
  experimental.direct_spread = 1.0f;
  experimental.ambience_depth = 4.0f;
  experimental.render_target = RenderTarget::kSpeakers;
  cases.push_back({"ExperimentalEverythingOn", experimental});
  for (SpatialAlgorithm algorithm : {SpatialAlgorithm::kMatrixSurround, SpatialAlgorithm::kMatrixSteer}) {
    ProcessorConfig wide = test::ConfigFor(algorithm);
    wide.panorama = 0.6f;
    wide.render_target = RenderTarget::kSpeakers;
    wide.centre_width = 0.0f;
    wide.dimension = 1.0f;
    cases.push_back(
        {algorithm == SpatialAlgorithm::kMatrixSurround ? "SurroundWide" : "SteerWide", wide});
  }
  return cases;
}

// Noise, then hard left, nearly mono, anti-phase, a gap of silence and a right-heavy mix: the
// steering of the matrix stages and the analysis of the others move through every state.
std::vector<StereoSample> Walk() {
  const std::vector<float> noise = test::UniformNoiseSamples(2 * 6000, 1.0f, 19);
  std::vector<StereoSample> x;
  for (size_t n = 0; n < 6000; ++n) x.push_back({noise[2 * n], noise[2 * n + 1]});
  for (size_t n = 0; n < 6000; ++n) x.push_back({noise[2 * n], 0.0f});
  for (size_t n = 0; n < 6000; ++n) x.push_back({noise[2 * n], noise[2 * n] + 0.05f * noise[2 * n + 1]});
  for (size_t n = 0; n < 6000; ++n) x.push_back({noise[2 * n], -noise[2 * n]});
  x.resize(x.size() + 3000);
  for (size_t n = 0; n < 3000; ++n) x.push_back({0.3f * noise[2 * n + 1], noise[2 * n]});
  return x;
}

// Call lengths: a fixed uneven cycle (200 is longer than the processor's blocks, so the stage
// cuts it up itself), and lengths rising by 7 through every residue of a batch of echoes.
std::vector<size_t> UnevenLengths(size_t total) {
  constexpr size_t kCycle[] = {1, 7, 64, 33, 2, 63, 5, 200};
  std::vector<size_t> lengths;
  size_t done = 0;
  for (size_t k = 0; done < total; ++k) {
    lengths.push_back(std::min(kCycle[k % std::size(kCycle)], total - done));
    done += lengths.back();
  }
  for (size_t length = 1, at = 0; at < total; length = length % kMaxStageBlock + 7) {
    lengths.push_back(std::min(length, total - at));
    at += lengths.back();
  }
  return lengths;
}

class BlockPath : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockPath, StageBlocksGiveTheBitsOfFrameByFrame) {
  DenormalGuard guard;
  const ProcessorConfig& config = GetParam().config;
  const std::vector<StereoSample> walk = Walk();
  // The walk twice over, once for each way of cutting it.
  std::vector<StereoSample> in = walk;
  in.insert(in.end(), walk.begin(), walk.end());
  const std::unique_ptr<SpatialStage> by_frame = MakeSpatialStage(config.spatial_algorithm);
  const std::unique_ptr<SpatialStage> by_block = MakeSpatialStage(config.spatial_algorithm);
  by_frame->Configure(config);
  by_frame->Reset();
  by_block->Configure(config);
  by_block->Reset();
  std::vector<StageOutput> blocked(in.size());
  size_t at = 0;
  for (size_t n : UnevenLengths(walk.size())) {
    by_block->ProcessBlock(in.data() + at, blocked.data() + at, n);
    at += n;
  }
  ASSERT_EQ(at, in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const StageOutput expected = by_frame->Process(in[i].left, in[i].right);
    ASSERT_EQ(blocked[i].wet.left, expected.wet.left) << "frame " << i;
    ASSERT_EQ(blocked[i].wet.right, expected.wet.right) << "frame " << i;
    ASSERT_EQ(blocked[i].dry.left, expected.dry.left) << "frame " << i;
    ASSERT_EQ(blocked[i].dry.right, expected.dry.right) << "frame " << i;
  }
}

bool SameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// On the signals that break filters (full-scale noise, silence, one impulse) the output is
// finite, silence stays exactly silent, and every block size and the planar call give the bits
// of frame by frame.
TEST_P(BlockPath, ProcessorBlocksGiveTheBitsOfFrameByFrame) {
  const ProcessorConfig& config = GetParam().config;
  constexpr size_t kFrames = 9000;
  std::vector<float> impulse(2 * kFrames, 0.0f);
  impulse[0] = impulse[1] = 1.0f;
  const struct {
    const char* name;
    std::vector<float> samples;
  } signals[] = {{"noise", test::FullScaleNoiseSamples(2 * kFrames, 7)},
                 {"silence", std::vector<float>(2 * kFrames, 0.0f)},
                 {"impulse", impulse}};
  for (const auto& signal : signals) {
    std::vector<float> reference = signal.samples;
    {
      DenormalGuard guard;
      Processor by_frame;
      by_frame.Configure(config);
      for (size_t i = 0; i < kFrames; ++i) {
        const StereoSample s = by_frame.ProcessFrame(reference[2 * i], reference[2 * i + 1]);
        reference[2 * i] = s.left;
        reference[2 * i + 1] = s.right;
      }
    }
    for (float v : reference) ASSERT_TRUE(std::isfinite(v)) << signal.name;
    if (std::string(signal.name) == "silence") {
      for (float v : reference) ASSERT_EQ(v, 0.0f);
    }
    for (size_t block : {1, 37, 64, 65, 2048, 4096, 9000}) {
      EXPECT_TRUE(SameBits(test::Render(config, signal.samples, block), reference))
          << signal.name << " in interleaved blocks of " << block;
    }
    for (size_t block : {13, 1024}) {
      DenormalGuard guard;
      Processor p;
      p.Configure(config);
      std::vector<float> left(kFrames), right(kFrames);
      for (size_t i = 0; i < kFrames; ++i) {
        left[i] = signal.samples[2 * i];
        right[i] = signal.samples[2 * i + 1];
      }
      for (size_t at = 0; at < kFrames; at += block) {
        const size_t n = std::min(block, kFrames - at);
        p.ProcessPlanar(left.data() + at, right.data() + at, left.data() + at, right.data() + at, n);
      }
      size_t mismatches = 0;
      for (size_t i = 0; i < kFrames; ++i) {
        mismatches += std::memcmp(&left[i], &reference[2 * i], sizeof(float)) != 0;
        mismatches += std::memcmp(&right[i], &reference[2 * i + 1], sizeof(float)) != 0;
      }
      EXPECT_EQ(mismatches, 0u) << signal.name << " in planar blocks of " << block;
    }
  }
  // Something comes out of the noise once every stage's latency has passed.
  const std::vector<float> out = test::Render(config, signals[0].samples, 512);
  double energy = 0.0;
  for (size_t i = 2 * 2048; i < out.size(); ++i) energy += out[i] * out[i];
  EXPECT_GT(energy, 1.0);
}

INSTANTIATE_TEST_SUITE_P(EveryAlgorithm, BlockPath, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace halvex
