#include "daemon/processor_crossfade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/config/config_defaults.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

ProcessorConfig With(SpatialAlgorithm algorithm, float wet_dry) {
  ProcessorConfig config = DefaultConfig();
  config.spatial_algorithm = algorithm;
  config.wet_dry_ratio = wet_dry;
  return config;
}

// What `config` makes of the input from frame `from` on, from a fresh processor (or the input
// itself for plain), indexed by input frame.
void Render(const ProcessorConfig* config, const std::vector<float>& in, size_t from,
            std::vector<float>& left, std::vector<float>& right) {
  left.assign(in.size(), 0.0f);
  right.assign(in.size(), 0.0f);
  Processor processor;
  if (config != nullptr) processor.Configure(*config);
  for (size_t i = from; i < in.size(); ++i) {
    const StereoSample s = config != nullptr ? processor.ProcessFrame(in[i], -0.5f * in[i])
                                             : StereoSample{in[i], -0.5f * in[i]};
    left[i] = s.left;
    right[i] = s.right;
  }
}

struct Change {
  const char* name;
  const ProcessorConfig* from;  // null: plain (processing off)
  const ProcessorConfig* to;
  uint32_t cycle;  // frames per data cycle
};

const ProcessorConfig kEchoHalf = With(SpatialAlgorithm::kEchoWidener, 0.5f);
const ProcessorConfig kEchoMore = With(SpatialAlgorithm::kEchoWidener, 0.55f);
const ProcessorConfig kDeep = With(SpatialAlgorithm::kDeepField, 0.5f);

class CrossfadeChange : public ::testing::TestWithParam<Change> {};

// The old sound bit for bit until the new one has warmed up, a blend that stays between the
// two, then the new sound bit for bit, whatever the cycle length.
TEST_P(CrossfadeChange, PlaysOldThenBlendsThenPlaysNewExactly) {
  const Change& change = GetParam();
  constexpr size_t kFrames = 12000;
  // Changes reach the data thread at the start of a cycle.
  const size_t change_at = (3000 + change.cycle - 1) / change.cycle * change.cycle;
  const std::vector<float> in = test::UniformNoiseSamples(kFrames, 0.4f, 99);
  std::vector<float> old_l, old_r, new_l, new_r;
  Render(change.from, in, 0, old_l, old_r);
  Render(change.to, in, change_at, new_l, new_r);

  Processor from, to;
  if (change.from != nullptr) from.Configure(*change.from);
  if (change.to != nullptr) to.Configure(*change.to);
  ProcessorCrossfade crossfade;
  crossfade.Publish(&from);
  std::vector<float> out_l(kFrames), out_r(kFrames), right(kFrames);
  for (size_t i = 0; i < kFrames; ++i) right[i] = -0.5f * in[i];
  for (size_t at = 0; at < kFrames; at += change.cycle) {
    if (at == change_at) crossfade.Publish(&to);
    crossfade.BeginCycle(at < change_at ? change.from != nullptr : change.to != nullptr);
    const auto n = static_cast<uint32_t>(std::min<size_t>(change.cycle, kFrames - at));
    crossfade.Process(in.data() + at, right.data() + at, out_l.data() + at, out_r.data() + at, n);
  }
  const size_t warm = change.to != nullptr ? to.Latency() + ProcessorCrossfade::kWarmFrames : 0;
  const size_t fade_start = change_at + warm;
  const size_t fade_end = fade_start + ProcessorCrossfade::kFadeFrames;
  for (size_t i = 0; i < fade_start; ++i) {
    ASSERT_EQ(out_l[i], old_l[i]) << i;
    ASSERT_EQ(out_r[i], old_r[i]) << i;
  }
  for (size_t i = fade_start; i < fade_end; ++i) {
    const float eps = 1e-6f;
    ASSERT_GE(out_l[i], std::min(old_l[i], new_l[i]) - eps) << i;
    ASSERT_LE(out_l[i], std::max(old_l[i], new_l[i]) + eps) << i;
  }
  // Just after the start the old sound dominates, just before the end the new one.
  const size_t early = fade_start + 10, late = fade_end - 10;
  EXPECT_LE(std::fabs(out_l[early] - old_l[early]), std::fabs(out_l[early] - new_l[early]) + 1e-6f);
  EXPECT_LE(std::fabs(out_l[late] - new_l[late]), std::fabs(out_l[late] - old_l[late]) + 1e-6f);
  for (size_t i = fade_end; i < kFrames; ++i) {
    ASSERT_EQ(out_l[i], new_l[i]) << i;
    ASSERT_EQ(out_r[i], new_r[i]) << i;
  }
  EXPECT_FALSE(crossfade.Changing());
  EXPECT_EQ(crossfade.Heard(), change.to != nullptr ? &to : nullptr);
  EXPECT_FALSE(crossfade.Holds(&from)) << "the old processor must be free to go";
}

INSTANTIATE_TEST_SUITE_P(
    Changes, CrossfadeChange,
    ::testing::Values(Change{"WetDryStep", &kEchoHalf, &kEchoMore, 1024},
                      Change{"WetDryStepSmallCycles", &kEchoHalf, &kEchoMore, 100},
                      Change{"AlgorithmToNoLatency", &kEchoHalf, &kDeep, 256},
                      Change{"Off", &kDeep, nullptr, 600},
                      Change{"On", nullptr, &kEchoHalf, 1000}),
    [](const auto& info) { return std::string(info.param.name); });

// A slider dragged: changes arrive faster than a cross-over lasts. Only the change in progress
// and the newest one are ever held, and the sound ends on the newest.
TEST(CrossfadeBurst, FinishesTheChangeInProgressThenFollowsTheNewest) {
  std::vector<std::unique_ptr<Processor>> steps;
  for (int i = 0; i < 6; ++i) {
    steps.push_back(std::make_unique<Processor>());
    steps.back()->Configure(With(SpatialAlgorithm::kMatrixSurround, 0.5f + 0.05f * i));
  }
  ProcessorCrossfade crossfade;
  crossfade.Publish(steps[0].get());
  constexpr uint32_t kCycle = 256;
  const std::vector<float> in = test::UniformNoiseSamples(kCycle, 0.3f, 7);
  std::vector<float> out_l(kCycle), out_r(kCycle);
  const auto cycle = [&] {
    crossfade.BeginCycle(true);
    crossfade.Process(in.data(), in.data(), out_l.data(), out_r.data(), kCycle);
    for (float v : out_l) ASSERT_TRUE(std::isfinite(v));
  };
  cycle();
  for (size_t step = 1; step < steps.size(); ++step) {
    crossfade.Publish(steps[step].get());
    cycle();
    cycle();  // 512 frames: less than a warm-up and a fade
    size_t held = 0;
    for (const auto& p : steps) held += crossfade.Holds(p.get()) ? 1 : 0;
    EXPECT_LE(held, 3u) << "heard, incoming and newest at most";
  }
  for (int i = 0; i < 40; ++i) cycle();
  EXPECT_EQ(crossfade.Heard(), steps.back().get());
  for (size_t step = 0; step + 1 < steps.size(); ++step) {
    EXPECT_FALSE(crossfade.Holds(steps[step].get())) << step;
  }
}

}  // namespace
}  // namespace halvex
