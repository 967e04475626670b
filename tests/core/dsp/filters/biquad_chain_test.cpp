#include "core/dsp/filters/biquad_chain.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

namespace halvex {
namespace {

// Four different sections, so a lane that picks up a neighbour's coefficients or state shows.
std::array<Biquad, BiquadChain::kMaxSections> Sections(float shift) {
  std::array<Biquad, BiquadChain::kMaxSections> s;
  s[0].SetHighpass(90.0f + shift, 0.54f);
  s[1].SetPeaking(4500.0f - shift, -2.5f, 1.0f);
  s[2].SetLowpass(7000.0f + shift, 1.31f);
  s[3].SetPeaking(700.0f + shift, 1.0f, 1.5f);
  return s;
}

// Biquad::Process, then the flush of both memories.
float Step(Biquad& q, float x, float flush) {
  x = q.Process(x);
  if (std::fabs(q.z1) < flush) q.z1 = 0.0f;
  if (std::fabs(q.z2) < flush) q.z2 = 0.0f;
  return x;
}

// Two chains run together, twice in a row (the second call starts from the state the first
// left), against Biquad::Process frame after frame: samples and states bit for bit.
void CheckChains(float flush, size_t count_a, size_t count_b, size_t frames) {
  auto sa = Sections(0.0f), sb = Sections(37.0f);
  auto ra = sa, rb = sb;
  for (uint32_t seed : {11u, 12u}) {
    std::vector<float> xa = test::FullScaleNoiseSamples(frames, seed);
    // Small enough that the flush is reached.
    std::vector<float> xb = test::FullScaleNoiseSamples(frames, seed + 100, 1e-24f);
    std::vector<float> want_a = xa, want_b = xb;
    for (size_t i = 0; i < frames; ++i) {
      for (size_t k = 0; k < count_a; ++k) want_a[i] = Step(ra[k], want_a[i], flush);
      for (size_t k = 0; k < count_b; ++k) want_b[i] = Step(rb[k], want_b[i], flush);
    }
    RunBiquadChains({sa.data(), count_a, xa.data(), flush}, {sb.data(), count_b, xb.data()},
                    frames);
    const auto where = ::testing::Message() << count_a << "+" << count_b << " sections, "
                                            << frames << " frames, seed " << seed << ", flush "
                                            << flush;
    // An empty block has no data pointer to compare.
    if (frames > 0) {
      ASSERT_EQ(std::memcmp(xa.data(), want_a.data(), frames * sizeof(float)), 0) << where;
      ASSERT_EQ(std::memcmp(xb.data(), want_b.data(), frames * sizeof(float)), 0) << where;
    }
    for (size_t k = 0; k < BiquadChain::kMaxSections; ++k) {
      const float got[] = {sa[k].z1, sa[k].z2, sb[k].z1, sb[k].z2};
      const float want[] = {ra[k].z1, ra[k].z2, rb[k].z1, rb[k].z2};
      ASSERT_EQ(std::memcmp(got, want, sizeof got), 0) << where << ", section " << k;
    }
  }
}

// Every pairing of chain lengths, over block lengths around the wavefront's fill, drain and pass
// length, with and without a flush.
TEST(BiquadChain, RunsLikeItsSectionsFrameAfterFrame) {
  for (const float flush : {0.0f, 1e-25f}) {
    for (size_t count_a = 0; count_a <= BiquadChain::kMaxSections; ++count_a) {
      for (size_t count_b = 0; count_b <= BiquadChain::kMaxSections; ++count_b) {
        for (size_t frames : {0u, 1u, 2u, 3u, 5u, 63u, 64u, 65u, 200u}) {
          CheckChains(flush, count_a, count_b, frames);
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  }
}

}  // namespace
}  // namespace halvex
