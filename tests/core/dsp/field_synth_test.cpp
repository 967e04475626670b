#include "core/dsp/field_synth.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// The block path groups the work differently but must keep every operation of Process, in
// order: compare it bit for bit over several wraps of every ring, with all sends busy, for both
// targets, and once starting mid-block (where it must fall back to frame by frame).
TEST(FieldSynth, BlockProcessingMatchesFrameByFrameBitForBit) {
  constexpr size_t kB = FieldSynth::kVelvetBlock;
  for (RenderTarget target : {RenderTarget::kHeadphones, RenderTarget::kSpeakers}) {
    for (size_t lead_in : {size_t{0}, size_t{5}}) {
      auto frame = std::make_unique<FieldSynth>();
      auto block = std::make_unique<FieldSynth>();
      frame->Configure(target, 3.0f, 0.7f);
      block->Configure(target, 3.0f, 0.7f);
      uint32_t seed = 99;
      const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return 0.3f * static_cast<float>(static_cast<int32_t>(seed)) / 2147483648.0f;
      };
      std::array<std::array<FieldSend, 3>, kB> sends{};
      std::array<FieldSend, kB> late{};
      std::array<StereoSample, kB> out{};
      for (size_t i = 0; i < lead_in; ++i) {
        const std::array<FieldSend, 3> s{{{next(), next()}, {next(), next()}, {next(), next()}}};
        const FieldSend l{next(), next()};
        const StereoSample a = frame->Process(s, l);
        const StereoSample b = block->Process(s, l);
        ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0);
      }
      for (size_t n = 0; n < 300; ++n) {
        for (size_t i = 0; i < kB; ++i) {
          // Quiet stretches let values reach the flush thresholds too.
          const float gain = (n / 40) % 3 == 2 ? 0.0f : 1.0f;
          for (FieldSend& s : sends[i]) s = {gain * next(), gain * next()};
          late[i] = {gain * next(), gain * next()};
        }
        block->ProcessBlock(sends, late, out);
        for (size_t i = 0; i < kB; ++i) {
          const StereoSample a = frame->Process(sends[i], late[i]);
          ASSERT_EQ(std::memcmp(&a, &out[i], sizeof a), 0) << n << " " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace halvex
