#include "core/config/config_params.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/config/config_defaults.h"
#include "core/config/config_names.h"

namespace halvex {
namespace {

std::string TextOf(const ProcessorConfig& config, const std::string& key) {
  std::string out = "untouched";
  EXPECT_TRUE(ReadParamText(config, key, out)) << key;
  return out;
}

float NumberOf(const ProcessorConfig& config, const std::string& key) {
  float out = -99.0f;
  EXPECT_TRUE(ReadParamNumber(config, key, out)) << key;
  return out;
}

// Applies and expects a rejection that leaves the record as it was.
std::string Rejection(const std::string& key, const std::string& value) {
  ProcessorConfig config = DefaultConfig();
  config.output_device = "keep.me";
  const ProcessorConfig before = config;
  std::string error;
  EXPECT_FALSE(ApplyParam(config, key, value, error)) << key << "=" << value;
  EXPECT_EQ(config, before) << key << "=" << value;
  return error;
}

TEST(ParamTable, ListsTheTwentyNineKeysInOrderAndFindsThemExactly) {
  ASSERT_EQ(ParamKeyCount(), 29u);
  EXPECT_STREQ(ParamKeyAt(0), "spatial_algorithm");
  EXPECT_STREQ(ParamKeyAt(18), "output_device");
  EXPECT_STREQ(ParamKeyAt(26), "wet_dry_ratio");
  EXPECT_STREQ(ParamKeyAt(28), "haas_channel");
  EXPECT_STREQ(ParamKeyAt(29), "");
  EXPECT_STREQ(ParamKeyAt(static_cast<std::size_t>(-1)), "");

  std::set<std::string> keys;
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    const ParamAccessor* accessor = FindParam(ParamKeyAt(i));
    ASSERT_NE(accessor, nullptr) << ParamKeyAt(i);
    keys.insert(ParamKeyAt(i));
  }
  EXPECT_EQ(keys.size(), 29u);
  EXPECT_EQ(FindParam("Wet_dry_ratio"), nullptr);
  EXPECT_EQ(FindParam("wet_dry"), nullptr);
  EXPECT_EQ(FindParam(std::string("bass\0x", 6)), nullptr);
  EXPECT_EQ(FindParam("enabled"), nullptr);  // file-only field

  EXPECT_EQ(FindParam("air")->Kind(), ParamKind::Float);
  EXPECT_EQ(FindParam("alternate_tap_polarity")->Kind(), ParamKind::Flag);
  EXPECT_EQ(FindParam("haas_channel")->Kind(), ParamKind::Choice);
  EXPECT_EQ(FindParam("render_target")->Kind(), ParamKind::Choice);
  EXPECT_EQ(FindParam("output_device")->Kind(), ParamKind::Device);
}

TEST(ParamTable, EveryFloatKeyChangesTheFieldOfTheSameNameOnly) {
  struct Binding {
    const char* key;
    float ProcessorConfig::*field;
  };
  const Binding bindings[] = {
      {"ambience_spread", &ProcessorConfig::ambience_spread},
      {"ambience_depth", &ProcessorConfig::ambience_depth},
      {"direct_spread", &ProcessorConfig::direct_spread},
      {"distance", &ProcessorConfig::distance},
      {"field_size", &ProcessorConfig::field_size},
      {"field_level", &ProcessorConfig::field_level},
      {"air", &ProcessorConfig::air},
      {"envelopment", &ProcessorConfig::envelopment},
      {"recycle", &ProcessorConfig::recycle},
      {"widen_scale", &ProcessorConfig::widen_scale},
      {"echo_side_gain", &ProcessorConfig::echo_side_gain},
      {"echo_mid_gain", &ProcessorConfig::echo_mid_gain},
      {"steer_amount", &ProcessorConfig::steer_amount},
      {"steer_depth", &ProcessorConfig::steer_depth},
      {"stft_expand", &ProcessorConfig::stft_expand},
      {"centre_width", &ProcessorConfig::centre_width},
      {"dimension", &ProcessorConfig::dimension},
      {"panorama", &ProcessorConfig::panorama},
      {"surround_gain", &ProcessorConfig::surround_gain},
      {"bass", &ProcessorConfig::bass},
      {"treble_shelf_db", &ProcessorConfig::treble_shelf_db},
      {"treble_shelf_hz", &ProcessorConfig::treble_shelf_hz},
      {"wet_dry_ratio", &ProcessorConfig::wet_dry_ratio},
      {"haas_delay_ms", &ProcessorConfig::haas_delay_ms},
  };
  std::size_t float_keys = 0;
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    float_keys += FindParam(ParamKeyAt(i))->Kind() == ParamKind::Float;
  }
  EXPECT_EQ(float_keys, std::size(bindings));
  for (const Binding& b : bindings) {
    ProcessorConfig config = DefaultConfig();
    std::string error;
    ASSERT_TRUE(ApplyParam(config, b.key, "-123.5", error)) << b.key << ": " << error;
    EXPECT_EQ(config.*b.field, -123.5f) << b.key;
    EXPECT_EQ(NumberOf(config, b.key), -123.5f) << b.key;
    EXPECT_EQ(TextOf(config, b.key), "-123.5") << b.key;
    config.*b.field = DefaultConfig().*b.field;
    EXPECT_EQ(config, DefaultConfig()) << b.key << " changed another field";
  }
}

TEST(ParamAccessors, FloatKeysTakeDecimalCommasButNoBlanksOrSigns) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ASSERT_TRUE(ApplyParam(config, "wet_dry_ratio", "0,75", error));
  EXPECT_EQ(config.wet_dry_ratio, 0.75f);
  EXPECT_EQ(TextOf(config, "wet_dry_ratio"), "0.75");
  EXPECT_EQ(NumberOf(config, "wet_dry_ratio"), 0.75f);
  ASSERT_TRUE(ApplyParam(config, "wet_dry_ratio", "1,000", error));
  EXPECT_EQ(config.wet_dry_ratio, 1.0f);
  // Out-of-range values are stored; validation is the caller's job.
  ASSERT_TRUE(ApplyParam(config, "distance", "99", error));
  EXPECT_EQ(config.distance, 99.0f);

  EXPECT_EQ(Rejection("wet_dry_ratio", "1,2,3"), "not a number: 1,2,3");
  EXPECT_EQ(Rejection("wet_dry_ratio", " 0.5"), "not a number:  0.5");
  EXPECT_EQ(Rejection("bass", "+0.5"), "not a number: +0.5");
  EXPECT_EQ(Rejection("bass", "1e999"), "not a number: 1e999");
  EXPECT_EQ(Rejection("bass", ""), "not a number: ");
}

TEST(ParamAccessors, FlagsAndChoicesAcceptOnlyTheirExactWords) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ASSERT_TRUE(ApplyParam(config, "alternate_tap_polarity", "0", error));
  EXPECT_EQ(TextOf(config, "alternate_tap_polarity"), "0");
  EXPECT_EQ(NumberOf(config, "alternate_tap_polarity"), 0.0f);
  ASSERT_TRUE(ApplyParam(config, "alternate_tap_polarity", "true", error));
  EXPECT_TRUE(config.alternate_tap_polarity);
  for (const char* word : {"True", "yes", "2", " 1"}) {
    EXPECT_EQ(Rejection("alternate_tap_polarity", word),
              std::string("not a boolean (use 0/1): ") + word);
  }

  ASSERT_TRUE(ApplyParam(config, "spatial_algorithm", "matrix_surround", error));
  EXPECT_EQ(TextOf(config, "spatial_algorithm"), "matrix_surround");
  EXPECT_EQ(NumberOf(config, "spatial_algorithm"), 3.0f);
  EXPECT_EQ(Rejection("spatial_algorithm", "Deep_field"),
            "spatial_algorithm must be \"echo_widener\", \"experimental\", \"deep_field\", "
            "\"matrix_surround\" or \"matrix_steer\"");

  ASSERT_TRUE(ApplyParam(config, "render_target", "speakers", error));
  EXPECT_EQ(TextOf(config, "render_target"), "speakers");
  EXPECT_EQ(NumberOf(config, "render_target"), 0.0f);
  EXPECT_EQ(Rejection("render_target", "headphone"),
            "render_target must be \"speakers\" or \"headphones\"");
}

TEST(ParamAccessors, HaasChannelNumberCountsLeftAsZero) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ASSERT_TRUE(ApplyParam(config, "haas_channel", "R", error));
  EXPECT_EQ(config.haas_channel, 0);
  EXPECT_EQ(TextOf(config, "haas_channel"), "R");
  EXPECT_EQ(NumberOf(config, "haas_channel"), 1.0f);
  ASSERT_TRUE(ApplyParam(config, "haas_channel", "L", error));
  EXPECT_EQ(config.haas_channel, 1);
  EXPECT_EQ(TextOf(config, "haas_channel"), "L");
  EXPECT_EQ(NumberOf(config, "haas_channel"), 0.0f);
  config.haas_channel = 7;  // any value but 1 is the right channel
  EXPECT_EQ(TextOf(config, "haas_channel"), "R");
  EXPECT_EQ(Rejection("haas_channel", "l"), "haas_channel must be L or R: l");
  EXPECT_EQ(Rejection("haas_channel", "left"), "haas_channel must be L or R: left");
}

TEST(ParamAccessors, OutputDeviceMapsAutoToTheEmptyName) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ASSERT_TRUE(ApplyParam(config, "output_device", "alsa_output.usb-1:0", error));
  EXPECT_EQ(config.output_device, "alsa_output.usb-1:0");
  EXPECT_EQ(NumberOf(config, "output_device"), 1.0f);
  ASSERT_TRUE(ApplyParam(config, "output_device", "auto", error));
  EXPECT_EQ(config.output_device, "");
  EXPECT_EQ(TextOf(config, "output_device"), "auto");
  EXPECT_EQ(NumberOf(config, "output_device"), 0.0f);
  config.output_device = "x";
  ASSERT_TRUE(ApplyParam(config, "output_device", "", error));
  EXPECT_EQ(config.output_device, "");
  ASSERT_TRUE(ApplyParam(config, "output_device", std::string(128, 'd'), error));

  EXPECT_EQ(Rejection("output_device", std::string(129, 'd')), "output_device is too long");
  EXPECT_EQ(Rejection("output_device", "a b"),
            "output_device may only contain letters, digits, '.', '_', '-' and ':'");
  EXPECT_EQ(Rejection("output_device", "../x"),
            "output_device may only contain letters, digits, '.', '_', '-' and ':'");
}

TEST(ParamAccessors, UnknownKeysChangeAndReadNothing) {
  EXPECT_EQ(Rejection("Wet_dry_ratio", "0.5"), "unknown key: Wet_dry_ratio");
  EXPECT_EQ(Rejection("buffer_size_frames", "1024"), "unknown key: buffer_size_frames");
  const ProcessorConfig config = DefaultConfig();
  std::string text = "untouched";
  float number = -5.0f;
  EXPECT_FALSE(ReadParamText(config, "nope", text));
  EXPECT_FALSE(ReadParamNumber(config, "nope", number));
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(number, -5.0f);
}

}  // namespace
}  // namespace halvex
