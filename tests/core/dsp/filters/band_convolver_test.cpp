#include "core/dsp/filters/band_convolver.h"
#include "tests/support/test_signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace halvex {
namespace {

constexpr size_t kTaps = BandConvolver::kTaps;
constexpr size_t kMax = BandConvolver::kMaxFilters;

using Noise = test::UniformNoise<>;

std::vector<float> RandomRows(size_t count, uint32_t seed) {
  Noise next{seed};
  std::vector<float> rows(count * kTaps);
  for (float& c : rows) c = 0.05f * next();
  return rows;
}

struct Outputs {
  std::vector<std::array<float, kMax>> left;
  std::vector<std::array<float, kMax>> right;
};

Outputs Convolve(BandConvolver& conv, const std::vector<float>& xl, const std::vector<float>& xr) {
  Outputs run;
  run.left.resize(xl.size());
  run.right.resize(xl.size());
  for (size_t n = 0; n < xl.size(); ++n) {
    conv.Process(xl[n], xr[n], run.left[n].data(), run.right[n].data());
  }
  return run;
}

double Direct(const float* h, const std::vector<float>& x, size_t n) {
  double sum = 0.0;
  for (size_t k = 0; k < kTaps && k <= n; ++k) {
    sum += static_cast<double>(h[k]) * static_cast<double>(x[n - k]);
  }
  return sum;
}

// The same input through FilterBlock, a block at a time, read back frame by frame.
template <typename Convolver>
Outputs ConvolveAhead(Convolver& conv, const std::vector<float>& xl,
                      const std::vector<float>& xr) {
  constexpr size_t kBlock = Convolver::kBlock;
  Outputs run;
  run.left.resize(xl.size() / kBlock * kBlock);
  run.right.resize(run.left.size());
  for (size_t n = 0; n < run.left.size(); n += kBlock) {
    conv.FilterBlock(xl.data() + n, xr.data() + n);
    for (size_t j = 0; j < kBlock; ++j) {
      conv.BlockOutput(j, run.left[n + j].data(), run.right[n + j].data());
    }
  }
  return run;
}

// Each way to run the filters, from a fresh convolver configured with `count` rows.
using Path = Outputs (*)(const std::vector<float>& rows, size_t count, SplitLevel level,
                         const std::vector<float>& xl, const std::vector<float>& xr);
template <typename Convolver, bool kAhead>
Outputs Run(const std::vector<float>& rows, size_t count, SplitLevel level,
            const std::vector<float>& xl, const std::vector<float>& xr) {
  auto conv = std::make_unique<Convolver>();
  conv->Configure(rows.data(), count, level);
  EXPECT_EQ(conv->count(), count);
  if constexpr (kAhead) {
    return ConvolveAhead(*conv, xl, xr);
  } else {
    return Convolve(*conv, xl, xr);
  }
}
struct NamedPath {
  const char* name;
  Path run;
};
// Frame by frame (direct head, transformed tail), and whole blocks ahead in both block sizes.
const NamedPath kPaths[] = {{"frame by frame", &Run<BandConvolver, false>},
                            {"blocks of 32 ahead", &Run<BandConvolver, true>},
                            {"blocks of 64 ahead", &Run<BlockBandConvolver, true>}};

TEST(BandConvolver, MatchesDirectConvolutionFromTheFirstFrame) {
  constexpr size_t kFrames = 700;  // many blocks, and a partial one at the end
  for (size_t count : {size_t{1}, size_t{13}, size_t{16}, size_t{17}, size_t{32}}) {
    const std::vector<float> rows = RandomRows(count, 7 + static_cast<uint32_t>(count));
    Noise next{99};
    std::vector<float> xl(kFrames);
    std::vector<float> xr(kFrames);
    for (size_t n = 0; n < kFrames; ++n) {
      xl[n] = next();
      xr[n] = next();
    }
    for (const NamedPath& path : kPaths) {
      const Outputs run = path.run(rows, count, BestSplitLevel(), xl, xr);
      ASSERT_GE(run.left.size(), kFrames - BlockBandConvolver::kBlock);
      double worst = 0.0;
      for (size_t n = 0; n < run.left.size(); ++n) {
        for (size_t f = 0; f < count; ++f) {
          const float* h = rows.data() + f * kTaps;
          worst = std::max(worst, std::abs(run.left[n][f] - Direct(h, xl, n)));
          worst = std::max(worst, std::abs(run.right[n][f] - Direct(h, xr, n)));
        }
      }
      // Outputs are of order 0.5; single-precision rounding of the transforms stays far below.
      EXPECT_LT(worst, 2e-6) << path.name << ", " << count << " filters";
    }
  }
}

TEST(BandConvolver, DelaysAnImpulseWithoutLatencyOrLeakage) {
  // Two pure delays: one inside the directly run head, one deep in the transformed tail.
  std::vector<float> rows(2 * kTaps, 0.0f);
  rows[3] = 1.0f;
  rows[kTaps + 127] = 1.0f;
  auto conv = std::make_unique<BandConvolver>();
  conv->Configure(rows.data(), 2);
  std::vector<float> x(400, 0.0f);
  x[45] = 1.0f;  // off the block grid
  const Outputs run = Convolve(*conv, x, std::vector<float>(400, 0.0f));
  for (size_t n = 0; n < x.size(); ++n) {
    EXPECT_EQ(run.left[n][0], n == 48 ? 1.0f : 0.0f) << n;
    EXPECT_NEAR(run.left[n][1], n == 172 ? 1.0f : 0.0f, 1e-6) << n;
    EXPECT_NEAR(run.right[n][1], 0.0f, 1e-6) << n;
  }
}

TEST(BandConvolver, EveryBuildGivesTheSameBits) {
  const std::vector<float> rows = RandomRows(kMax, 3);
  size_t builds_run = 0;
  Noise next{5};
  std::vector<float> xl(300);
  std::vector<float> xr(300);
  for (size_t n = 0; n < xl.size(); ++n) {
    xl[n] = next();
    xr[n] = next();
  }
  // Each path against its own baseline build.
  for (const NamedPath& path : kPaths) {
    const Outputs expected = path.run(rows, kMax, SplitLevel::kBaseline, xl, xr);
    ASSERT_FALSE(expected.left.empty());
    for (SplitLevel level : {SplitLevel::kAvx2, SplitLevel::kAvx512}) {
      if (!CpuRuns(level)) continue;
      ++builds_run;
      const Outputs run = path.run(rows, kMax, level, xl, xr);
      EXPECT_EQ(run.left, expected.left) << path.name;
      EXPECT_EQ(run.right, expected.right) << path.name;
    }
  }
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_GE(builds_run, 1u);
  }
}

TEST(BandConvolver, ResetForgetsTheSignalAndKeepsTheFilters) {
  const std::vector<float> rows = RandomRows(5, 11);
  Noise next{17};
  std::vector<float> noise(333);
  for (float& v : noise) v = next();
  std::vector<float> impulse(300, 0.0f);
  impulse[0] = 1.0f;

  auto fresh = std::make_unique<BandConvolver>();
  fresh->Configure(rows.data(), 5);
  const Outputs expected = Convolve(*fresh, impulse, impulse);
  auto used = std::make_unique<BandConvolver>();
  used->Configure(rows.data(), 5);
  Convolve(*used, noise, noise);  // stops inside a block
  used->Reset();
  const Outputs run = Convolve(*used, impulse, impulse);
  EXPECT_EQ(run.left, expected.left);
  EXPECT_EQ(run.right, expected.right);
}

TEST(BandConvolver, UsesAtMostThirtyTwoFilters) {
  const std::vector<float> rows = RandomRows(40, 23);
  auto conv = std::make_unique<BandConvolver>();
  conv->Configure(rows.data(), 40);
  EXPECT_EQ(conv->count(), kMax);
}

}  // namespace
}  // namespace halvex
