#include "tray/control_spec.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/config/config_params.h"
#include "core/config/config_validation.h"

namespace halvex {
namespace {

// Rows whose keys are shown for an algorithm, in window order.
std::vector<std::string> VisibleKeys(const char* algorithm) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    if (ScopeAppliesTo(ControlSpecAt(i).scope, algorithm)) keys.push_back(ControlSpecAt(i).key);
  }
  return keys;
}

const std::vector<std::string> kOutputRows = {"bass",          "treble_shelf_db", "treble_shelf_hz",
                                              "haas_delay_ms", "haas_channel",    "wet_dry_ratio"};

std::vector<std::string> Rows(std::vector<std::string> front) {
  front.insert(front.end(), kOutputRows.begin(), kOutputRows.end());
  return front;
}

TEST(ControlTable, ShowsTheRowsOfTheRunningAlgorithm) {
  struct Case {
    const char* algorithm;
    std::vector<std::string> keys;
  };
  const Case cases[] = {
      {"echo_widener",
       Rows({"spatial_algorithm", "echo_side_gain", "echo_mid_gain", "widen_scale", "steer_amount",
             "steer_depth", "stft_expand", "alternate_tap_polarity"})},
      {"experimental",
       Rows({"spatial_algorithm", "render_target", "ambience_spread", "ambience_depth",
             "direct_spread"})},
      {"deep_field", Rows({"spatial_algorithm", "render_target", "distance", "field_size",
                           "field_level", "air", "envelopment", "recycle"})},
      {"matrix_surround", Rows({"spatial_algorithm", "render_target", "surround_gain"})},
      {"matrix_steer", Rows({"spatial_algorithm", "render_target", "surround_gain",
                             "centre_width", "dimension", "panorama"})},
  };
  for (const Case& c : cases) EXPECT_EQ(VisibleKeys(c.algorithm), c.keys) << c.algorithm;
  EXPECT_TRUE(ScopeAppliesTo(static_cast<ControlScope>(99), "deep_field"));
}

TEST(ControlTable, EverySettableKeyButTheDeviceHasExactlyOneRow) {
  ASSERT_EQ(ControlSpecCount(), 28u);
  std::set<std::string> keys;
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    const ControlSpec& spec = ControlSpecAt(i);
    EXPECT_NE(FindParam(spec.key), nullptr) << spec.key;
    EXPECT_TRUE(keys.insert(spec.key).second) << spec.key;
    EXPECT_NE(std::string(spec.tooltip), "") << spec.key;
  }
  EXPECT_EQ(keys.count("output_device"), 0u);  // it has a row of its own above the grid
  EXPECT_EQ(keys.size(), ParamKeyCount() - 1);
}

// Both ends of every slider and every choice value are accepted by the daemon's validator, so the
// window can never offer a setting the daemon refuses.
TEST(ControlTable, RangesAndChoicesAreWhatTheDaemonAccepts) {
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    const ControlSpec& spec = ControlSpecAt(i);
    std::vector<std::string> values;
    if (WidgetKind(spec) == ControlKind::Slider) {
      EXPECT_LT(spec.min, spec.max) << spec.key;
      EXPECT_GT(spec.step, 0.0f) << spec.key;
      values = {std::to_string(spec.min), std::to_string(spec.max)};
    }
    for (size_t c = 0; c < spec.choice_count; ++c) values.push_back(spec.choices[c].value);
    if (WidgetKind(spec) == ControlKind::Switch) values = {"0", "1"};
    ASSERT_FALSE(values.empty()) << spec.key;
    for (const std::string& value : values) {
      ProcessorConfig config = DefaultConfig();
      std::string error;
      ASSERT_TRUE(ApplyParam(config, spec.key, value, error)) << spec.key << " " << error;
      EXPECT_TRUE(ValidateConfig(config, error)) << spec.key << "=" << value << ": " << error;
    }
  }
}

TEST(ControlTable, ChoiceIndicesMatchTheNumbersTheAccessorsRead) {
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    const ControlSpec& spec = ControlSpecAt(i);
    for (size_t c = 0; c < spec.choice_count; ++c) {
      ProcessorConfig config = DefaultConfig();
      std::string error;
      float number = -1;
      ASSERT_TRUE(ApplyParam(config, spec.key, spec.choices[c].value, error));
      ASSERT_TRUE(ReadParamNumber(config, spec.key, number));
      EXPECT_EQ(number, float(c)) << spec.key << " " << spec.choices[c].value;
    }
  }
}

TEST(ControlTable, LabelsKindsAndDecimals) {
  struct Case {
    const char* key;
    const char* label;
    ControlKind kind;
    int decimals;  // -1: not a slider
  };
  const Case cases[] = {
      {"spatial_algorithm", "Algorithm", ControlKind::Combo, -1},
      {"alternate_tap_polarity", "Anti-flutter", ControlKind::Switch, -1},
      {"ambience_depth", "Distance", ControlKind::Slider, 2},    // step 0.05
      {"haas_delay_ms", "Haas widener", ControlKind::Slider, 1}, // step 0.5
      {"field_size", "Space size", ControlKind::Slider, 1},      // step 0.1
      {"treble_shelf_hz", "Crispness corner", ControlKind::Slider, 0},
      {"wet_dry_ratio", "Wet / dry", ControlKind::Slider, 2},
      {"haas_channel", "Haas channel", ControlKind::Combo, -1},
  };
  for (const Case& c : cases) {
    const ControlSpec* found = nullptr;
    for (size_t i = 0; i < ControlSpecCount(); ++i) {
      if (std::string(ControlSpecAt(i).key) == c.key) found = &ControlSpecAt(i);
    }
    ASSERT_NE(found, nullptr) << c.key;
    EXPECT_STREQ(found->label, c.label);
    EXPECT_EQ(WidgetKind(*found), c.kind) << c.key;
    if (c.decimals >= 0) {
      EXPECT_EQ(SliderDecimals(found->step), c.decimals) << c.key;
    }
  }
}

TEST(ControlTable, ChoiceLabelFindsTheLabelOfAValueInItsOwnRowOnly) {
  EXPECT_STREQ(ChoiceLabel("spatial_algorithm", "experimental"), "Immersive");
  EXPECT_STREQ(ChoiceLabel("haas_channel", "R"), "Right");
  EXPECT_EQ(ChoiceLabel("haas_channel", "speakers"), nullptr);
  EXPECT_EQ(ChoiceLabel("wet_dry_ratio", "0"), nullptr);
  EXPECT_EQ(ChoiceLabel("no_such_key", "L"), nullptr);
  EXPECT_EQ(ChoiceLabel(nullptr, "L"), nullptr);
}

}  // namespace
}  // namespace halvex
