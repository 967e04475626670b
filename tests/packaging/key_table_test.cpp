#include "packaging/keydoc/key_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "core/config/config_validation.h"

namespace halvex {
namespace {

const KeyDoc& Row(const std::vector<KeyDoc>& rows, const std::string& key) {
  for (const KeyDoc& row : rows) {
    if (row.key == key) return row;
  }
  ADD_FAILURE() << "no row for " << key;
  static const KeyDoc none;
  return none;
}

TEST(SettableKeyDocs, ListEveryKeyOnceInTableOrder) {
  const std::vector<KeyDoc> rows = DescribeSettableKeys();
  ASSERT_EQ(rows.size(), ParamKeyCount());
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].key, ParamKeyAt(i));
}

// Whether the default configuration with `key` set to `value` (through its own text form,
// "%.9g" round-trips every float) passes the validator.
bool ValidWith(const std::string& key, float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  ProcessorConfig config = DefaultConfig();
  std::string error;
  return ApplyParam(config, key, text, error) && ValidateConfig(config, error);
}

// The ranges a user is promised are exactly where the validator flips: both ends accepted, the
// next float beyond either refused, including ends that are not the default and ends on either
// side of zero.
TEST(SettableKeyDocs, FloatRangesAreTheValidatorsExactBounds) {
  struct Case {
    const char* key;
    float low, high;
  };
  const Case cases[] = {
      {"wet_dry_ratio", 0.0f, 1.0f},      {"bass", 0.3f, 1.0f},
      {"field_level", -40.0f, 0.0f},      {"field_size", 0.5f, 12.0f},
      {"treble_shelf_hz", 2000.0f, 16000.0f}, {"haas_delay_ms", 0.0f, 25.0f},
      {"dimension", -1.0f, 1.0f},         {"surround_gain", 0.25f, 2.0f},
      {"echo_side_gain", -4.0f, 4.0f},    {"ambience_depth", 0.25f, 4.0f},
      {"distance", 1.0f, 8.0f},           {"treble_shelf_db", -6.0f, 6.0f},
  };
  const std::vector<KeyDoc> rows = DescribeSettableKeys();
  for (const Case& c : cases) {
    const KeyDoc& row = Row(rows, c.key);
    EXPECT_EQ(row.kind, ParamKind::Float) << c.key;
    ASSERT_TRUE(row.low && row.high) << c.key;
    EXPECT_EQ(*row.low, c.low) << c.key;
    EXPECT_EQ(*row.high, c.high) << c.key;
  }
  for (const KeyDoc& row : rows) {
    if (row.kind != ParamKind::Float) continue;
    ASSERT_TRUE(row.low && row.high) << row.key << " is documented as unbounded";
    EXPECT_TRUE(ValidWith(row.key, *row.low)) << row.key;
    EXPECT_TRUE(ValidWith(row.key, *row.high)) << row.key;
    EXPECT_FALSE(ValidWith(row.key, std::nextafter(*row.low, -INFINITY))) << row.key;
    EXPECT_FALSE(ValidWith(row.key, std::nextafter(*row.high, INFINITY))) << row.key;
  }
}

TEST(SettableKeyDocs, ChoiceWordsAreWhatTheAccessorAcceptsInChoiceOrder) {
  const std::vector<KeyDoc> rows = DescribeSettableKeys();
  EXPECT_EQ(Row(rows, "spatial_algorithm").choices,
            (std::vector<std::string>{"echo_widener", "experimental", "deep_field",
                                      "matrix_surround", "matrix_steer"}));
  EXPECT_EQ(Row(rows, "render_target").choices,
            (std::vector<std::string>{"speakers", "headphones"}));
  // Left counts as 0 in a choice list although the record stores it as 1.
  EXPECT_EQ(Row(rows, "haas_channel").choices, (std::vector<std::string>{"L", "R"}));
  EXPECT_EQ(Row(rows, "alternate_tap_polarity").choices,
            (std::vector<std::string>{"0", "false", "1", "true"}));
}

TEST(SettableKeyDocs, DefaultsReadAsStatusShowsThem) {
  const std::vector<KeyDoc> rows = DescribeSettableKeys();
  EXPECT_EQ(Row(rows, "spatial_algorithm").default_text, "deep_field");
  EXPECT_EQ(Row(rows, "field_level").default_text, "-26.1");
  EXPECT_EQ(Row(rows, "haas_channel").default_text, "L");
  EXPECT_EQ(Row(rows, "output_device").default_text, "auto");
  const KeyDoc& device = Row(rows, "output_device");
  EXPECT_EQ(device.kind, ParamKind::Device);
  EXPECT_TRUE(device.choices.empty());
  EXPECT_FALSE(device.low || device.high);
}

}  // namespace
}  // namespace halvex
