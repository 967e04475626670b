#include "core/config/config_validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/config/config_defaults.h"
#include "core/config/config_names.h"

namespace halvex {
namespace {

std::string Check(const ProcessorConfig& config) {
  std::string error = "untouched";
  return ValidateConfig(config, error) ? "ok" : error;
}

TEST(DefaultConfig, IsValidAndCarriesTheFifteenBandTable) {
  const ProcessorConfig config = DefaultConfig();
  EXPECT_EQ(Check(config), "ok");
  ASSERT_EQ(config.bands.size(), 15u);
  EXPECT_EQ(config.bands[5], (BandParam{840.0f, 2.1f, 4.2f}));
  EXPECT_EQ(config.bands[6], (BandParam{1680.0f, 3.0f, 1.5f}));
  EXPECT_EQ(config.bands[14], (BandParam{16000.0f, 0.0f, 0.0f}));
  EXPECT_EQ(config.spatial_algorithm, SpatialAlgorithm::kDeepField);
  EXPECT_EQ(config.field_level, -26.1f);
  EXPECT_FALSE(config.enabled);
}

TEST(ConfigNames, MatchExactlyAndFallBackToTheEchoWidener) {
  SpatialAlgorithm algorithm = SpatialAlgorithm::kDeepField;
  EXPECT_TRUE(ParseSpatialAlgorithm("matrix_steer", algorithm));
  EXPECT_EQ(algorithm, SpatialAlgorithm::kMatrixSteer);
  EXPECT_FALSE(ParseSpatialAlgorithm("Echo_Widener", algorithm));
  EXPECT_FALSE(ParseSpatialAlgorithm("matrix_steer ", algorithm));
  EXPECT_EQ(algorithm, SpatialAlgorithm::kMatrixSteer);
  EXPECT_STREQ(SpatialAlgorithmName(static_cast<SpatialAlgorithm>(7)), "echo_widener");
  EXPECT_STREQ(SpatialAlgorithmName(SpatialAlgorithm::kMatrixSurround), "matrix_surround");

  RenderTarget target = RenderTarget::kSpeakers;
  EXPECT_FALSE(ParseRenderTarget("headphone", target));
  EXPECT_EQ(target, RenderTarget::kSpeakers);
  EXPECT_TRUE(ParseRenderTarget("headphones", target));
  EXPECT_EQ(target, RenderTarget::kHeadphones);
  EXPECT_STREQ(RenderTargetName(static_cast<RenderTarget>(5)), "speakers");
}

TEST(ConfigValidation, BufferSizeMustBeAPowerOfTwoFromOne) {
  ProcessorConfig config = DefaultConfig();
  for (int32_t size : {1, 2, 1024, 1 << 30}) {
    config.buffer_size_frames = size;
    EXPECT_EQ(Check(config), "ok") << size;
  }
  for (int32_t size : {0, -2, 3, 2047, std::numeric_limits<int32_t>::min()}) {
    config.buffer_size_frames = size;
    EXPECT_EQ(Check(config), "buffer_size_frames is not a power of two") << size;
  }
}

TEST(ConfigValidation, RangesIncludeBothEnds) {
  ProcessorConfig config = DefaultConfig();
  config.haas_delay_ms = 25.0f;
  config.field_level = -40.0f;
  config.dimension = -1.0f;
  config.surround_gain = 2.0f;
  config.bass = 0.3f;
  config.treble_shelf_hz = 16000.0f;
  config.echo_side_gain = -4.0f;
  EXPECT_EQ(Check(config), "ok");
  config.haas_delay_ms = 25.0001f;
  EXPECT_EQ(Check(config), "haas_delay_ms out of [0,25] ms");
  config.haas_delay_ms = 0.0f;
  config.bass = 0.29f;
  EXPECT_EQ(Check(config), "bass out of [0.3,1]");
}

TEST(ConfigValidation, ReportsOnlyTheFirstFailingRuleInOrder) {
  ProcessorConfig config = DefaultConfig();
  config.wet_dry_ratio = 2.0f;
  config.bass = 0.0f;
  EXPECT_EQ(Check(config), "wet_dry_ratio out of [0,1]");

  // The device name sits between the recycle and centre_width checks.
  config = DefaultConfig();
  config.recycle = 1.5f;
  config.output_device = "bad name";
  EXPECT_EQ(Check(config), "recycle out of [0,1]");
  config.recycle = 0.0f;
  config.panorama = 1.5f;
  EXPECT_EQ(Check(config), "output_device may only contain letters, digits, '.', '_', '-' and ':'");
  config.output_device.clear();
  EXPECT_EQ(Check(config), "centre_width/panorama out of [0,1]");

  config = DefaultConfig();
  config.echo_mid_gain = -0.1f;
  config.tap_volumes[0] = 2.0f;
  EXPECT_EQ(Check(config), "echo_mid_gain out of [0,1]");
}

TEST(ConfigValidation, TapMultipliersRiseStrictlyWithinZeroToTen) {
  ProcessorConfig config = DefaultConfig();
  config.bands.clear();  // keep the Haas-zone rule out of the way
  config.tap_multipliers = {0.5f, 1.0f, 2.0f, 10.0f};
  EXPECT_EQ(Check(config), "ok");
  const char* kMessage = "tap_multipliers must be strictly increasing in (0,10]";
  for (const auto& taps : {std::array<float, 4>{1, 1, 2, 3}, std::array<float, 4>{0, 1, 2, 3},
                           std::array<float, 4>{1, 2, 3, 10.5f},
                           std::array<float, 4>{-1, 1, 2, 3}}) {
    config.tap_multipliers = taps;
    EXPECT_EQ(Check(config), kMessage) << taps[0] << " " << taps[3];
  }
}

TEST(ConfigValidation, BandRowsAreCheckedRowByRow) {
  ProcessorConfig config = DefaultConfig();
  config.bands[3].r_base_ms = 5.3f;  // 5.3 * 4.7 = 24.91 ms
  EXPECT_EQ(Check(config), "ok");
  config.bands[3].r_base_ms = 5.4f;  // 25.38 ms
  EXPECT_EQ(Check(config), "a band's longest tap exceeds the 25 ms Haas zone");
  // A later row's range error loses to an earlier row's longest tap...
  config.bands[9].l_base_ms = 16.0f;
  EXPECT_EQ(Check(config), "a band's longest tap exceeds the 25 ms Haas zone");
  // ...but within one row the range comes first.
  config.bands[3].r_base_ms = 16.0f;
  EXPECT_EQ(Check(config), "a band base delay is out of [0,15] ms");

  config.bands.clear();
  EXPECT_EQ(Check(config), "ok");
}

TEST(ConfigValidation, BandFrequenciesMustBePositiveAndFinite) {
  for (float bad : {0.0f, -30.0f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
    ProcessorConfig config = DefaultConfig();
    config.bands[7].freq_hz = bad;
    EXPECT_EQ(Check(config), "a band frequency must be a positive number") << bad;
    // The delay rules of any row still come first.
    config.bands[12].l_base_ms = 16.0f;
    EXPECT_EQ(Check(config), "a band base delay is out of [0,15] ms") << bad;
  }
  ProcessorConfig tiny = DefaultConfig();
  tiny.bands[0].freq_hz = 1e-3f;
  EXPECT_EQ(Check(tiny), "ok");
}

TEST(ConfigValidation, RejectsNanInEveryCheckWithThatChecksMessage) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float ProcessorConfig::*field;
    const char* message;
  };
  // The checks whose plain range test would let a NaN through if written as
  // "value < lo || value > hi".
  const Case cases[] = {
      {&ProcessorConfig::haas_delay_ms, "haas_delay_ms out of [0,25] ms"},
      {&ProcessorConfig::ambience_depth, "ambience_depth out of [0.25,4]"},
      {&ProcessorConfig::distance, "distance out of [1,8]"},
      {&ProcessorConfig::field_size, "field_size out of [0.5,12] s"},
      {&ProcessorConfig::field_level, "field_level out of [-40,0] dB"},
      {&ProcessorConfig::dimension, "dimension out of [-1,1]"},
      {&ProcessorConfig::surround_gain, "surround_gain out of [0.25,2]"},
      {&ProcessorConfig::bass, "bass out of [0.3,1]"},
      {&ProcessorConfig::treble_shelf_db, "treble_shelf_db out of [-6,6]"},
      {&ProcessorConfig::treble_shelf_hz, "treble_shelf_hz out of [2000,16000]"},
      {&ProcessorConfig::echo_side_gain, "echo_side_gain out of [-4,4]"},
      {&ProcessorConfig::wet_dry_ratio, "wet_dry_ratio out of [0,1]"},
  };
  for (const Case& c : cases) {
    ProcessorConfig config = DefaultConfig();
    config.*c.field = nan;
    EXPECT_EQ(Check(config), c.message);
  }
  ProcessorConfig config = DefaultConfig();
  config.tap_multipliers[2] = nan;
  EXPECT_EQ(Check(config), "tap_multipliers must be strictly increasing in (0,10]");
  config = DefaultConfig();
  config.tap_volumes[3] = nan;
  EXPECT_EQ(Check(config), "a tap volume is out of [0,1]");
  config = DefaultConfig();
  config.bands[0].r_base_ms = nan;
  EXPECT_EQ(Check(config), "a band base delay is out of [0,15] ms");
  config = DefaultConfig();
  config.distance = std::numeric_limits<float>::infinity();
  EXPECT_EQ(Check(config), "distance out of [1,8]");
}

TEST(DeviceName, AcceptsNodeNamesUpTo128Bytes) {
  std::string error = "untouched";
  EXPECT_TRUE(IsSafeDeviceName("", error));
  EXPECT_TRUE(IsSafeDeviceName("alsa_output.pci-0000_00_1f.3.analog-stereo:1", error));
  EXPECT_TRUE(IsSafeDeviceName(std::string(128, 'a'), error));
  EXPECT_EQ(error, "untouched");
  EXPECT_FALSE(IsSafeDeviceName(std::string(129, 'a'), error));
  EXPECT_EQ(error, "output_device is too long");
  const char* kCharacters = "output_device may only contain letters, digits, '.', '_', '-' and ':'";
  const std::string names[] = {"my sink", "a/b", "caf\xc3\xa9", std::string("a\0b", 3)};
  for (const std::string& name : names) {
    error.clear();
    EXPECT_FALSE(IsSafeDeviceName(name, error)) << name;
    EXPECT_EQ(error, kCharacters);
  }
}

}  // namespace
}  // namespace halvex
