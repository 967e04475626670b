#include "core/dsp/echo/band_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/config/config_defaults.h"

namespace halvex {
namespace {

TEST(BandEdges, DefaultTableGivesFifteenBandsAtGeometricCentres) {
  BandEdges edges{};
  ASSERT_EQ(BuildBandEdges(DefaultConfig().bands, edges), 15u);
  const float expected[16] = {0.0f,      42.43f,    84.85f,    169.71f,  317.49f,   593.97f,
                              1187.94f,  2375.88f,  4751.76f,  9503.52f, 13717.14f, 14247.81f,
                              14747.88f, 15247.95f, 15748.02f, 24000.0f};
  for (size_t i = 0; i < 16; ++i) EXPECT_NEAR(edges[i], expected[i], 0.01f) << "edge " << i;
}

TEST(BandEdges, EmptySingleAndOversizedTables) {
  BandEdges edges{};
  EXPECT_EQ(BuildBandEdges({}, edges), 0u);
  EXPECT_EQ(edges[0], 24000.0f);

  EXPECT_EQ(BuildBandEdges({{1000.0f, 1.0f, 1.0f}}, edges), 1u);
  EXPECT_EQ(edges[0], 0.0f);
  EXPECT_EQ(edges[1], 24000.0f);

  std::vector<BandParam> rows;
  for (int i = 0; i < 40; ++i) rows.push_back({100.0f * static_cast<float>(i + 1), 1.0f, 1.0f});
  ASSERT_EQ(BuildBandEdges(rows, edges), 32u);
  EXPECT_NEAR(edges[31], std::sqrt(3100.0f * 3200.0f), 0.01f);
  EXPECT_EQ(edges[32], 24000.0f);  // rows 33 to 40 ignored
}

TEST(BandEdges, UnusableFrequenciesNeverGiveNanOrNegativeEdges) {
  const float bad[] = {0.0f, -500.0f, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity()};
  for (float f : bad) {
    std::vector<BandParam> rows = DefaultConfig().bands;
    rows[4].freq_hz = f;
    BandEdges edges{};
    ASSERT_EQ(BuildBandEdges(rows, edges), 15u);
    for (size_t i = 0; i <= 15; ++i) {
      EXPECT_TRUE(std::isfinite(edges[i])) << "freq " << f << " edge " << i;
      EXPECT_GE(edges[i], 0.0f) << "freq " << f << " edge " << i;
      EXPECT_LE(edges[i], 24000.0f);
    }
    // The rows far from the bad one keep their edges.
    EXPECT_NEAR(edges[2], 84.85f, 0.01f);
    EXPECT_NEAR(edges[8], 4751.76f, 0.01f);
  }
  // A bad first row, and a table of nothing but bad rows.
  BandEdges edges{};
  ASSERT_EQ(BuildBandEdges({{0.0f, 1.0f, 1.0f}, {-1.0f, 1.0f, 1.0f}}, edges), 2u);
  EXPECT_EQ(edges[1], 0.0f);
  EXPECT_EQ(edges[2], 24000.0f);
}

TEST(TapDelays, DefaultTableGivesTheDocumentedFrames) {
  const ProcessorConfig config = DefaultConfig();
  // Left and right delays of bands 0 to 14, taps 1 to 4.
  const size_t left[15][4] = {{0, 0, 0, 0},         {14, 24, 42, 68},    {38, 65, 111, 180},
                              {67, 114, 195, 316},  {91, 155, 264, 429}, {101, 171, 292, 474},
                              {144, 245, 418, 677}, {67, 114, 195, 316}, {58, 98, 167, 271},
                              {96, 163, 278, 451},  {77, 131, 223, 361}, {58, 98, 167, 271},
                              {38, 65, 111, 180},   {19, 33, 56, 90},    {0, 0, 0, 0}};
  const size_t right[15][4] = {{0, 0, 0, 0},         {29, 49, 84, 135},    {77, 131, 223, 361},
                               {134, 228, 390, 632}, {182, 310, 529, 857}, {202, 343, 585, 948},
                               {72, 122, 209, 338},  {34, 57, 97, 158},    {29, 49, 84, 135},
                               {48, 82, 139, 226},   {38, 65, 111, 180},   {29, 49, 84, 135},
                               {19, 33, 56, 90},     {10, 16, 28, 45},     {0, 0, 0, 0}};
  ASSERT_EQ(config.bands.size(), 15u);
  for (size_t b = 0; b < 15; ++b) {
    for (size_t k = 0; k < 4; ++k) {
      EXPECT_EQ(TapDelayFrames(config.bands[b].l_base_ms, config.tap_multipliers[k]), left[b][k])
          << "band " << b << " tap " << k;
      EXPECT_EQ(TapDelayFrames(config.bands[b].r_base_ms, config.tap_multipliers[k]), right[b][k])
          << "band " << b << " tap " << k;
    }
  }
}

TEST(TapDelays, OutOfRangeBaseDelaysAreBounded) {
  EXPECT_EQ(TapDelayFrames(100.0f, 4.7f), kMaxDelayFrames);
  EXPECT_EQ(TapDelayFrames(-3.0f, 1.0f), 0u);
  EXPECT_EQ(TapDelayFrames(std::numeric_limits<float>::quiet_NaN(), 1.0f), 0u);
  EXPECT_EQ(TapDelayFrames(0.01f, 1.0f), 0u);  // 0.98 frames rounds down to off
  EXPECT_EQ(TapDelayFrames(0.0105f, 1.0f), 1u);
}

TEST(TapGains, PolarityAndWidenScale) {
  ProcessorConfig config = DefaultConfig();
  TapGains gains = BuildTapGains(config);
  EXPECT_FLOAT_EQ(gains[0], 0.5f);
  EXPECT_FLOAT_EQ(gains[1], -0.25f);
  EXPECT_FLOAT_EQ(gains[2], 0.125f);
  EXPECT_FLOAT_EQ(gains[3], -0.0625f);

  config.alternate_tap_polarity = false;
  config.widen_scale = 0.5f;
  gains = BuildTapGains(config);
  EXPECT_FLOAT_EQ(gains[0], 0.25f);
  EXPECT_FLOAT_EQ(gains[1], 0.125f);
  EXPECT_FLOAT_EQ(gains[2], 0.0625f);
  EXPECT_FLOAT_EQ(gains[3], 0.03125f);
}

}  // namespace
}  // namespace halvex
