#include "core/dsp/deep_field/velvet_sequence.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_signals.h"

namespace halvex {
namespace {

// The grouped sums (wide, mid, near; frame by frame or a block at once) against the plain
// convolution in double precision: a tap lost, doubled or given the wrong sign or group shows as
// an error of a whole tap, far above float rounding.
template <size_t kCapacity>
void ExpectConvolution(size_t taps, size_t span, uint32_t seed, bool blocks) {
  using Sequence = VelvetSequence<kCapacity>;
  constexpr size_t kB = Sequence::kBlock;
  auto v = std::make_unique<Sequence>();
  uint32_t state = seed;
  v->Build(taps, span, 1.0f / std::sqrt(static_cast<float>(taps)), state);
  v->Reset();
  const size_t frames = 3 * Sequence::kHistory + 5 * kB;
  const std::vector<float> x = test::UniformNoiseSamples(frames, 1.0f, 11);
  std::vector<float> y(frames);
  for (size_t start = 0; start < frames; start += kB) {
    const size_t write = start % Sequence::kHistory;
    if (blocks) {
      v->WriteBlock(write, x.data() + start);
      v->SumBlock(write);
      for (size_t i = 0; i < kB; ++i) y[start + i] = v->sum[i];
    } else {
      v->SumFar(write);
      for (size_t i = 0; i < kB; ++i) y[start + i] = v->Step(x[start + i], write + i, i);
    }
  }
  for (size_t t = 0; t < frames; ++t) {
    double expected = 0.0;
    for (size_t j = 0; j < taps; ++j) {
      if (v->position[j] <= t) expected += double{v->sign[j]} * x[t - v->position[j]];
    }
    ASSERT_NEAR(y[t], expected, 1e-5) << t;
  }
}

TEST(VelvetSequence, BlockAndFramePathsAreTheConvolution) {
  for (uint32_t seed : {7u, 8u}) {
    for (bool blocks : {false, true}) {
      ExpectConvolution<300>(300, 6, seed, blocks);  // a late sequence: taps in every group
      ExpectConvolution<96>(61, 1440 / 61, seed, blocks);
      ExpectConvolution<96>(4, 3, seed, blocks);  // near taps only
    }
  }
}

// Velvet noise needs fair signs and slot draws. Taken from the generator's bit 0, which
// alternates step by step, every sign of a sequence came out alike (a boost of up to 25 dB at
// low frequencies) and every draw in an even span odd.
TEST(VelvetSequence, SignsAndSlotDrawsAreFair) {
  constexpr size_t kTaps = 300;
  for (uint32_t seed : {7u, 8u, 0x5EED1234u}) {
    for (size_t span : {6u, 20u, 23u}) {
      auto v = std::make_unique<VelvetSequence<kTaps>>();
      uint32_t state = seed;
      v->Build(kTaps, span, 1.0f, state);
      double sign_sum = 0.0;
      size_t odd_draws = 0;
      for (size_t j = 0; j < kTaps; ++j) {
        sign_sum += v->sign[j];
        odd_draws += (v->position[j] - j * span) % 2;
      }
      // Three standard deviations of 300 fair draws.
      EXPECT_LT(std::abs(sign_sum), 3.0 * std::sqrt(double{kTaps})) << seed << " span " << span;
      EXPECT_GT(odd_draws, 100u) << seed << " span " << span;
      EXPECT_LT(odd_draws, 200u) << seed << " span " << span;
    }
  }
}

}  // namespace
}  // namespace halvex
