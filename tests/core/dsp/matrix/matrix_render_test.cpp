#include "core/dsp/matrix/matrix_render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <vector>

#include "core/dsp/kit/denormal_guard.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

struct Placed {
  std::vector<float> first;
  std::vector<float> second;
};

// A unit impulse on the left surround input, then silence.
Placed PlaceImpulse(MatrixRender& render, size_t frames) {
  Placed out;
  for (size_t n = 0; n < frames; ++n) {
    const auto [l, r] = render.PlaceSurround(n == 0 ? 1.0f : 0.0f, 0.0f);
    out.first.push_back(l);
    out.second.push_back(r);
  }
  return out;
}

// The impulse through a render with default settings, passive or steered.
Placed PlaceImpulseDefault(bool steered, size_t frames) {
  DenormalGuard guard;
  MatrixRender render;
  render.Configure(DefaultConfig(), steered);
  return PlaceImpulse(render, frames);
}

size_t FirstNonZero(const std::vector<float>& x) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (x[i] != 0.0f) return i;
  }
  return x.size();
}

TEST(MatrixRender, PassiveSurroundArrives960FramesLateWithoutCrossfeed) {
  const Placed p = PlaceImpulseDefault(false, 2000);
  EXPECT_EQ(FirstNonZero(p.first), 960u);
  EXPECT_EQ(FirstNonZero(p.second), p.second.size());
}

TEST(MatrixRender, SteeredSurroundArrives480FramesLateAndCrossfeeds34FramesLaterAtMinus6Db) {
  const Placed p = PlaceImpulseDefault(true, 2000);
  ASSERT_EQ(FirstNonZero(p.first), 480u);
  ASSERT_EQ(FirstNonZero(p.second), 514u);
  for (size_t n = 514; n < 700; ++n) {
    EXPECT_EQ(p.second[n], 0.5011872f * p.first[n - 34]) << n;
  }
}

TEST(MatrixRender, ColourIsNormalisedAndMilderOverSpeakers) {
  DenormalGuard guard;
  ProcessorConfig config = DefaultConfig();
  config.render_target = RenderTarget::kHeadphones;
  MatrixRender headphones;
  headphones.Configure(config, false);
  config.render_target = RenderTarget::kSpeakers;
  MatrixRender speakers;
  speakers.Configure(config, false);
  // The colour is a few dB either way, so its normalisation stays close to 1, and the
  // speaker colour (60 % of the gains) needs less of it.
  EXPECT_GT(headphones.colour_norm(), 0.8f);
  EXPECT_LT(headphones.colour_norm(), 1.25f);
  EXPECT_LT(std::fabs(speakers.colour_norm() - 1.0f), std::fabs(headphones.colour_norm() - 1.0f));

  // The placed impulse's energy therefore stays near the input's.
  const Placed p = PlaceImpulse(headphones, 8000);
  double energy = 0.0;
  for (const float x : p.first) energy += static_cast<double>(x) * x;
  EXPECT_NEAR(energy, 1.0, 0.25);
}

TEST(MatrixRender, RearGainFollowsSurroundGainAndDimension) {
  ProcessorConfig config = DefaultConfig();
  config.surround_gain = 1.0f;
  config.dimension = 0.0f;
  MatrixRender render;
  render.Configure(config, false);
  EXPECT_FLOAT_EQ(render.rear_gain(), 0.70794576f);  // -3 dB
  config.dimension = 1.0f;  // +3 dB
  config.surround_gain = 2.0f;
  render.Configure(config, false);
  EXPECT_FLOAT_EQ(render.rear_gain(), 0.70794576f * 2.0f * 1.4142135f);
  config.dimension = -1.0f;  // -3 dB
  render.Configure(config, true);
  EXPECT_FLOAT_EQ(render.rear_gain(), 0.70794576f * 2.0f / 1.4142135f / 1.1185654f);
}

TEST(MatrixRender, RenderedSurroundIsInPhaseLeftAndInvertedRightForPassive) {
  DenormalGuard guard;
  MatrixRender render;
  render.Configure(DefaultConfig(), false);
  MatrixBus impulse;
  impulse.surround_left = impulse.surround_right = 1.0f;
  // No cancel signal: the fronts are untouched and the surround is +-rear_gain of the placed one.
  MatrixRender reference;
  reference.Configure(DefaultConfig(), false);
  for (size_t n = 0; n < 2000; ++n) {
    const MatrixBus bus = n == 0 ? impulse : MatrixBus{};
    const StereoSample out = render.Render(bus);
    const float placed = reference.PlaceSurround(bus.surround_left, bus.surround_right).first;
    ASSERT_EQ(out.left, placed * render.rear_gain()) << n;
    ASSERT_EQ(out.right, -placed * render.rear_gain()) << n;
  }
}

// Steady fronts of K x against a cancel pair (x, -x): the least-squares fit is K / 2; a fit
// beyond rear_gain is pulled back to b - sqrt(b^2 - rear_gain^2); a near-silent cancel signal
// is taken out at rear_gain.
TEST(MatrixRender, CancellationIsTheFittedLeakOfTheCancelSignal) {
  DenormalGuard guard;
  constexpr float kRearGain = 0.70794576f;
  struct Case {
    float k;
    float x;
    float expected;
  };
  const float pulled_back = 2.0f - std::sqrt(4.0f - kRearGain * kRearGain);
  for (const Case c : {Case{1.0f, 0.5f, 0.5f}, Case{4.0f, 0.5f, pulled_back},
                       Case{-1.0f, 0.5f, 0.0f}, Case{1.0f, 1e-5f, kRearGain}}) {
    MatrixRender render;
    render.Configure(DefaultConfig(), false);
    MatrixBus bus;
    bus.left = c.k * c.x;
    bus.cancel_left = c.x;
    bus.cancel_right = -c.x;
    StereoSample out;
    for (int n = 0; n < 100000; ++n) out = render.Render(bus);
    // The right front is empty, so the right output is the cancellation amount times x.
    EXPECT_NEAR(out.right / c.x, c.expected, 1e-4f) << c.k << " " << c.x;
    EXPECT_NEAR(out.left, c.k * c.x - c.x * c.expected, 1e-4f * c.x);
  }
}

// Buses with every channel random (the cancel pair sometimes quiet, so both sides of the
// silence threshold are reached), in uneven blocks that run the rings across their wrap.
TEST(MatrixRender, BlocksGiveTheBitsOfFrameByFrame) {
  DenormalGuard guard;
  uint32_t seed = 23;
  const auto next = [&seed] {
    seed = test::LcgStep(seed);
    return test::UniformFrom(seed);
  };
  constexpr size_t kFrames = 10000;
  std::vector<MatrixBus> buses(kFrames);
  std::vector<StereoSample> fronts(kFrames);
  std::vector<float> surround(kFrames);
  for (size_t n = 0; n < kFrames; ++n) {
    const float cancel_level = (n / 500) % 2 == 0 ? 1.0f : 1e-6f;
    buses[n] = {next(), next(), next(), next(), next(), cancel_level * next(),
                cancel_level * next(), next(), next()};
    fronts[n] = {next(), next()};
    surround[n] = cancel_level * next();
  }
  constexpr size_t kLengths[] = {64, 1, 13, 64, 40, 2};
  for (const bool steered : {false, true}) {
    MatrixRender by_frame, by_block, passive_by_frame, passive_by_block;
    for (MatrixRender* r : {&by_frame, &by_block, &passive_by_frame, &passive_by_block}) {
      r->Configure(DefaultConfig(), steered);
    }
    std::vector<StereoSample> blocked(kFrames), passive_blocked(kFrames);
    for (size_t at = 0, k = 0; at < kFrames; at += kLengths[k++ % std::size(kLengths)]) {
      const size_t n = std::min(kLengths[k % std::size(kLengths)], kFrames - at);
      by_block.RenderBlock(buses.data() + at, blocked.data() + at, n);
      passive_by_block.RenderPassiveBlock(fronts.data() + at, surround.data() + at,
                                          passive_blocked.data() + at, n);
    }
    for (size_t n = 0; n < kFrames; ++n) {
      const StereoSample expected = by_frame.Render(buses[n]);
      ASSERT_EQ(blocked[n].left, expected.left) << steered << " " << n;
      ASSERT_EQ(blocked[n].right, expected.right) << steered << " " << n;
      const StereoSample passive =
          passive_by_frame.Render(PassiveMatrix::BusOf(fronts[n], surround[n]));
      ASSERT_EQ(passive_blocked[n].left, passive.left) << steered << " " << n;
      ASSERT_EQ(passive_blocked[n].right, passive.right) << steered << " " << n;
    }
  }
}

TEST(MatrixRender, SilenceStaysSilent) {
  MatrixRender render;
  render.Configure(DefaultConfig(), true);
  for (size_t n = 0; n < 4000; ++n) {
    const StereoSample out = render.Render(MatrixBus{});
    ASSERT_EQ(out.left, 0.0f);
    ASSERT_EQ(out.right, 0.0f);
  }
}

}  // namespace
}  // namespace halvex
