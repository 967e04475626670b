#include "core/dsp/field_synth.h"

#include <cmath>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace halvex {
namespace {

std::unique_ptr<FieldSynth> Make(float field_size, RenderTarget target = RenderTarget::kHeadphones) {
  auto synth = std::make_unique<FieldSynth>();
  synth->Configure(target, field_size, 1.0f);
  return synth;
}

TEST(FieldSynth, DecayTimeHasAFloorOfFiftyMilliseconds) {
  const auto tiny = Make(0.01f);
  const auto floor = Make(0.05f);
  for (size_t n = 0; n < FieldSynth::kLines; ++n) {
    EXPECT_EQ(tiny->LineGain(n), floor->LineGain(n)) << n;
    EXPECT_EQ(tiny->DampingCoefficient(n), floor->DampingCoefficient(n)) << n;
  }
  // Line 0 loses 60 dB per 0.05 s over 1097 + 0.2 * 1105 frames.
  EXPECT_NEAR(floor->LineGain(0), std::pow(10.0, -3954.0 / 2400.0), 1e-6);
  EXPECT_NEAR(Make(1.0f)->LineGain(0), std::pow(10.0, -3954.0 / 48000.0), 1e-6);
  // Longer lines lose more per pass, highs more than lows.
  const auto one = Make(1.0f);
  for (size_t n = 1; n < FieldSynth::kLines; ++n) EXPECT_LT(one->LineGain(n), one->LineGain(n - 1));
  for (size_t n = 0; n < FieldSynth::kLines; ++n) EXPECT_GT(one->DampingCoefficient(n), 0.0f);
}

// Line 5 (2677 frames, diffusers of 193, 467 and 673) fed one impulse: the path through the
// 673-frame diffuser alone must arrive 673 frames after the line's own delay, not 673 - 512.
TEST(FieldSynth, DiffusersKeepDelaysLongerThan512Frames) {
  const auto synth = Make(12.0f);
  std::array<float, FieldSynth::kLines> acc{};
  std::array<float, FieldSynth::kLines> out{};
  std::vector<float> line5;
  for (size_t i = 0; i < 2677 + 700; ++i) {
    acc.fill(0.0f);
    if (i == 0) acc[5] = 1.0f;
    synth->InjectAndAdvance(acc, out);
    line5.push_back(out[5]);
  }
  const size_t l = 2677;
  EXPECT_GT(std::fabs(line5[l]), 0.1f);  // all three pass straight: 0.5^3
  EXPECT_LT(std::fabs(line5[l + 161]), 1e-3f);
  // 0.5 * 0.5 * 0.75 through the diffusers, times the line gain: about 0.18.
  EXPECT_GT(std::fabs(line5[l + 673]), 0.1f);
}

// Output of the field for one impulse on one input, for frames [0, frames).
std::vector<float> ImpulseResponse(size_t at, bool late, size_t frames) {
  const auto synth = Make(2.0f);
  std::vector<float> y;
  for (size_t i = 0; i < frames; ++i) {
    const float x = i == at ? 1.0f : 0.0f;
    std::array<FieldSend, 3> sends{};
    FieldSend l{};
    if (late) {
      l.left = x;
    } else {
      sends[0].left = x;
    }
    const StereoSample s = synth->Process(sends, l);
    y.push_back(s.left);
    y.push_back(s.right);
  }
  return y;
}

// The velvet sums are formed in blocks; where an input falls in a block must not matter. Until
// the modulated lines return (3079 frames) the field is time-invariant, so a delayed impulse
// must give the same response, bit for bit, delayed.
TEST(FieldSynth, ResponseDoesNotDependOnWhereTheImpulseFallsInABlock) {
  for (bool late : {true, false}) {
    const std::vector<float> a = ImpulseResponse(3, late, 3000);
    constexpr size_t kB = FieldSynth::kVelvetBlock;
    for (size_t shift : {size_t{1}, size_t{7}, kB / 2 + 3, kB - 1, kB}) {
      const std::vector<float> b = ImpulseResponse(3 + shift, late, 3000 + shift);
      for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i + 2 * shift]) << shift << " " << i;
    }
  }
}

TEST(FieldSynth, LateSendArrivesAtTheFirstTapOfItsSequence) {
  const auto synth = Make(2.0f);
  const size_t first = synth->Late(0).position[0];
  const std::vector<float> y = ImpulseResponse(0, true, 40);
  for (size_t i = 0; i < first; ++i) EXPECT_EQ(y[2 * i], 0.0f) << i;
  EXPECT_NE(y[2 * first], 0.0f);
}

}  // namespace
}  // namespace halvex
