#include "core/dsp/deep_field/field_synth.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/core/dsp/deep_field/field_probe.h"
#include "tests/core/dsp/deep_field/send_rows.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

std::unique_ptr<FieldSynth> Make(float field_size, RenderTarget target = RenderTarget::kHeadphones) {
  auto synth = std::make_unique<FieldSynth>();
  synth->Configure(target, field_size, 1.0f);
  return synth;
}

// Each line loses 60 dB per field_size seconds over its own length plus a fifth of its
// diffusers' (an allpass passes a constant straight through but delays the rest of the
// signal): line 0 is 1097 frames long, its diffusers 149, 379 and 577.
double ExpectedLine0Gain(double seconds) {
  const double frames = 1097.0 + 0.2 * (149.0 + 379.0 + 577.0);
  return std::pow(10.0, -3.0 * frames / (seconds * 48000.0));
}

TEST(FieldSynth, DecayTimeHasAFloorOfFiftyMilliseconds) {
  const auto tiny = test::MeasureLoopGains(0.01f, false);
  const auto floor = test::MeasureLoopGains(0.05f, false);
  const auto tiny_high = test::MeasureLoopGains(0.01f, true);
  const auto floor_high = test::MeasureLoopGains(0.05f, true);
  for (size_t n = 0; n < FieldSynth::kLines; ++n) {
    EXPECT_EQ(tiny[n], floor[n]) << n;
    EXPECT_EQ(tiny_high[n], floor_high[n]) << n;
  }
  EXPECT_NEAR(floor[0], ExpectedLine0Gain(0.05), 1e-6);
  const auto one = test::MeasureLoopGains(1.0f, false);
  EXPECT_NEAR(one[0], ExpectedLine0Gain(1.0), 1e-6);
  // Longer lines lose more per pass, highs more than lows: at the Nyquist frequency a pass
  // loses 20/7 times as many dB as at 0 Hz (the modulated lines 6 and 7 are left out: their
  // moving delay keeps them from settling on a steady Nyquist amplitude).
  const auto one_high = test::MeasureLoopGains(1.0f, true);
  for (size_t n = 1; n < FieldSynth::kLines; ++n) EXPECT_LT(one[n], one[n - 1]) << n;
  for (size_t n = 0; n < 6; ++n) {
    EXPECT_LT(one_high[n], one[n]) << n;
    EXPECT_NEAR(std::log(one_high[n]) / std::log(one[n]), 20.0 / 7.0, 1e-3) << n;
  }
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
// targets, once starting mid-block (where it must fall back to frame by frame) and once after
// a block frame by frame (the blocks then take up sums the frames began).
TEST(FieldSynth, BlockProcessingMatchesFrameByFrameBitForBit) {
  constexpr size_t kB = FieldSynth::kVelvetBlock;
  for (RenderTarget target : {RenderTarget::kHeadphones, RenderTarget::kSpeakers}) {
    for (size_t lead_in : {size_t{0}, size_t{5}, kB}) {
      auto frame = std::make_unique<FieldSynth>();
      auto block = std::make_unique<FieldSynth>();
      frame->Configure(target, 3.0f, 0.7f);
      block->Configure(target, 3.0f, 0.7f);
      uint32_t seed = 99;
      const auto next = [&seed] {
        seed = test::LcgStep(seed);
        return 0.3f * test::FullScaleFrom(seed);
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
        alignas(32) const SendRows rows = test::ToRows(sends, late);
        block->ProcessBlock(rows, out);
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
