#include "core/dsp/filters/biquad_chain.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <array>
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

// Every pairing of chain lengths, over block lengths around the wavefront's fill, drain and pass
// length, twice in a row (the second call starts from the state the first left): the samples and
// the states must be those of Biquad::Process frame after frame, bit for bit.
TEST(BiquadChain, RunsLikeItsSectionsFrameAfterFrame) {
  for (size_t count_a = 0; count_a <= BiquadChain::kMaxSections; ++count_a) {
    for (size_t count_b = 0; count_b <= BiquadChain::kMaxSections; ++count_b) {
      for (size_t frames : {0u, 1u, 2u, 3u, 5u, 63u, 64u, 65u, 200u}) {
        auto sa = Sections(0.0f), sb = Sections(37.0f);
        auto ra = sa, rb = sb;
        for (uint32_t seed : {11u, 12u}) {
          std::vector<float> xa = test::FullScaleNoiseSamples(frames, seed);
          std::vector<float> xb = test::FullScaleNoiseSamples(frames, seed + 100, 1e-3f);
          std::vector<float> want_a = xa, want_b = xb;
          for (size_t i = 0; i < frames; ++i) {
            for (size_t k = 0; k < count_a; ++k) want_a[i] = ra[k].Process(want_a[i]);
            for (size_t k = 0; k < count_b; ++k) want_b[i] = rb[k].Process(want_b[i]);
          }
          RunBiquadChains({sa.data(), count_a, xa.data()}, {sb.data(), count_b, xb.data()},
                          frames);
          const auto where = ::testing::Message() << count_a << "+" << count_b << " sections, "
                                                  << frames << " frames, seed " << seed;
          ASSERT_EQ(std::memcmp(xa.data(), want_a.data(), frames * sizeof(float)), 0) << where;
          ASSERT_EQ(std::memcmp(xb.data(), want_b.data(), frames * sizeof(float)), 0) << where;
          for (size_t k = 0; k < BiquadChain::kMaxSections; ++k) {
            ASSERT_EQ(std::memcmp(&sa[k].z1, &ra[k].z1, 2 * sizeof(float)), 0) << where << k;
            ASSERT_EQ(std::memcmp(&sb[k].z1, &rb[k].z1, 2 * sizeof(float)), 0) << where << k;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace halvex
