#include "core/config/config_params.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/config/config_defaults.h"
#include "core/config/config_validation.h"
#include "core/config/json_config.h"

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

// Applies `value` and expects the key to read back as `text` and `number`.
void ExpectSetsTo(ProcessorConfig& config, const std::string& key, const std::string& value,
                  const std::string& text, float number) {
  std::string error;
  ASSERT_TRUE(ApplyParam(config, key, value, error)) << key << "=" << value << ": " << error;
  EXPECT_EQ(TextOf(config, key), text) << key << "=" << value;
  EXPECT_EQ(NumberOf(config, key), number) << key << "=" << value;
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

TEST(ParamTable, ListsTheThirtyKeysInOrderAndFindsThemExactly) {
  ASSERT_EQ(ParamKeyCount(), 30u);
  EXPECT_STREQ(ParamKeyAt(0), "spatial_algorithm");
  EXPECT_STREQ(ParamKeyAt(18), "output_device");
  EXPECT_STREQ(ParamKeyAt(26), "wet_dry_ratio");
  EXPECT_STREQ(ParamKeyAt(28), "haas_channel");
  EXPECT_STREQ(ParamKeyAt(29), "quantum");
  EXPECT_STREQ(ParamKeyAt(30), "");
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    ASSERT_NE(FindParam(ParamKeyAt(i)), nullptr) << ParamKeyAt(i);
  }
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
  // The file writer names fields through its own table, so it can tell
  // whether a key is bound to the field of its name.
  const nlohmann::json defaults = nlohmann::json::parse(ConfigToJson(DefaultConfig()));
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    const std::string key = ParamKeyAt(i);
    if (FindParam(key)->Kind() != ParamKind::Float) continue;
    ProcessorConfig config = DefaultConfig();
    std::string error;
    ASSERT_TRUE(ApplyParam(config, key, "-123.5", error)) << key << ": " << error;
    EXPECT_EQ(TextOf(config, key), "-123.5");
    EXPECT_EQ(NumberOf(config, key), -123.5f);
    nlohmann::json expected = defaults;
    expected[key] = -123.5;
    EXPECT_EQ(nlohmann::json::parse(ConfigToJson(config)), expected) << key;
  }
}

TEST(ParamAccessors, FloatKeysTakeDecimalCommasButNoBlanksOrSigns) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ExpectSetsTo(config, "wet_dry_ratio", "0,75", "0.75", 0.75f);
  EXPECT_EQ(config.wet_dry_ratio, 0.75f);
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
  ExpectSetsTo(config, "alternate_tap_polarity", "0", "0", 0.0f);
  ASSERT_TRUE(ApplyParam(config, "alternate_tap_polarity", "true", error));
  EXPECT_TRUE(config.alternate_tap_polarity);
  for (const char* word : {"True", "yes", "2", " 1"}) {
    EXPECT_EQ(Rejection("alternate_tap_polarity", word),
              std::string("not a boolean (use 0/1): ") + word);
  }

  ExpectSetsTo(config, "spatial_algorithm", "matrix_surround", "matrix_surround", 3.0f);
  EXPECT_EQ(Rejection("spatial_algorithm", "Deep_field"),
            "spatial_algorithm must be \"echo_widener\", \"experimental\", \"deep_field\", "
            "\"matrix_surround\" or \"matrix_steer\"");

  ExpectSetsTo(config, "render_target", "speakers", "speakers", 0.0f);
  EXPECT_EQ(Rejection("render_target", "headphone"),
            "render_target must be \"speakers\" or \"headphones\"");
}

TEST(ParamAccessors, HaasChannelNumberCountsLeftAsZero) {
  ProcessorConfig config = DefaultConfig();
  ExpectSetsTo(config, "haas_channel", "R", "R", 1.0f);
  EXPECT_EQ(config.haas_channel, 0);
  ExpectSetsTo(config, "haas_channel", "L", "L", 0.0f);
  EXPECT_EQ(config.haas_channel, 1);
  config.haas_channel = 7;  // any value but 1 is the right channel
  EXPECT_EQ(TextOf(config, "haas_channel"), "R");
  EXPECT_EQ(Rejection("haas_channel", "l"), "haas_channel must be L or R: l");
  EXPECT_EQ(Rejection("haas_channel", "left"), "haas_channel must be L or R: left");
}

TEST(ParamAccessors, QuantumTakesZeroOrAPowerOfTwoFrom64To8192AndNothingElse) {
  ProcessorConfig config = DefaultConfig();
  EXPECT_EQ(TextOf(config, "quantum"), "2048");
  std::string error;
  for (const char* good : {"0", "64", "256", "8192"}) {
    ASSERT_TRUE(ApplyParam(config, "quantum", good, error)) << good;
    EXPECT_EQ(TextOf(config, "quantum"), good);
    EXPECT_TRUE(ValidateConfig(config, error)) << error;
  }
  for (const char* bad : {"", "junk", "-256", "32", "100", "16384", "99999999999999999999",
                          "256.0", "0x100", "2e3", "0256", " 256"}) {
    EXPECT_EQ(Rejection("quantum", bad),
              std::string("quantum must be 0 or a power of two from 64 to 8192: ") + bad);
  }
  // A file may hold any integer; the validator refuses it the same way.
  config.quantum = 48;
  EXPECT_FALSE(ValidateConfig(config, error));
  EXPECT_EQ(error, "quantum must be 0 or a power of two from 64 to 8192: 48");
}

TEST(ParamAccessors, OutputDeviceMapsAutoToTheEmptyName) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  ASSERT_TRUE(ApplyParam(config, "output_device", "alsa_output.usb-1:0", error));
  EXPECT_EQ(config.output_device, "alsa_output.usb-1:0");
  EXPECT_EQ(NumberOf(config, "output_device"), 1.0f);
  ExpectSetsTo(config, "output_device", "auto", "auto", 0.0f);
  EXPECT_EQ(config.output_device, "");
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
