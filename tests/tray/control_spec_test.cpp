#include "tray/control_spec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "core/config/config_params.h"
#include "core/config/config_validation.h"

namespace halvex {
namespace {

TEST(ControlScope, AppliesToItsAlgorithms) {
  const char* algorithms[] = {"echo_widener", "experimental", "deep_field", "matrix_surround",
                              "matrix_steer"};
  // One row per scope in enumeration order; one column per algorithm above.
  const char* applies[] = {"11111", "10000", "01000", "00100", "01111", "00011", "00001"};
  for (int scope = 0; scope < 7; ++scope) {
    for (int a = 0; a < 5; ++a) {
      EXPECT_EQ(ScopeAppliesTo(static_cast<ControlScope>(scope), algorithms[a]),
                applies[scope][a] == '1')
          << scope << " " << algorithms[a];
    }
  }
  EXPECT_TRUE(ScopeAppliesTo(static_cast<ControlScope>(99), "deep_field"));
}

// Both ends of every slider and every choice are accepted by the daemon's validator, and a choice
// is shown at its own position once set, so the window never offers or shows a wrong setting.
TEST(ControlTable, OffersOnlyWhatTheDaemonAcceptsAtThePositionsItReports) {
  ASSERT_EQ(ControlSpecCount(), 29u);
  for (size_t i = 0; i < ControlSpecCount(); ++i) {
    const ControlSpec& control = ControlSpecAt(i);
    std::vector<std::string> values;
    if (WidgetKind(control) == ControlKind::Slider) {
      EXPECT_LT(control.min, control.max) << control.key;
      values = {std::to_string(control.min), std::to_string(control.max)};
    }
    if (WidgetKind(control) == ControlKind::Switch) values = {"0", "1"};
    for (size_t c = 0; c < control.choice_count; ++c) values.push_back(control.choices[c].value);
    ASSERT_FALSE(values.empty()) << control.key;
    if (WidgetKind(control) == ControlKind::Slider) {
      // The whole range: one step of a float further is refused at either end.
      for (float beyond : {std::nextafter(control.min, -INFINITY),
                           std::nextafter(control.max, INFINITY)}) {
        ProcessorConfig config = DefaultConfig();
        std::string error;
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", beyond);
        ASSERT_TRUE(ApplyParam(config, control.key, text, error)) << control.key;
        EXPECT_FALSE(ValidateConfig(config, error)) << control.key << "=" << text;
      }
    }
    for (size_t v = 0; v < values.size(); ++v) {
      ProcessorConfig config = DefaultConfig();
      std::string error;
      float number = -1;
      ASSERT_TRUE(ApplyParam(config, control.key, values[v], error)) << control.key << " " << error;
      EXPECT_TRUE(ValidateConfig(config, error)) << control.key << "=" << values[v] << ": " << error;
      ASSERT_TRUE(ReadParamNumber(config, control.key, number));
      if (control.choice_count > 0) {
        EXPECT_EQ(ChoiceIndex(control, config), static_cast<int>(v)) << control.key << "=" << values[v];
      }
    }
  }
}

TEST(ControlTable, AValueTheRowDoesNotOfferSelectsNothing) {
  const ControlSpec& latency = ControlSpecAt(28);
  ProcessorConfig config = DefaultConfig();
  EXPECT_EQ(ChoiceIndex(latency, config), 4);  // 2048 frames
  config.quantum = 64;  // valid, set from the command line, but not in the tray's list
  EXPECT_EQ(ChoiceIndex(latency, config), -1);
}

TEST(ControlTable, LabelsKindsAndDecimals) {
  struct Case {
    size_t row;
    const char* key;
    const char* label;
    ControlKind kind;
    int decimals;  // for sliders
  };
  const Case cases[] = {
      {0, "spatial_algorithm", "Algorithm", ControlKind::Combo, 0},
      {3, "ambience_depth", "Distance", ControlKind::Slider, 2},  // step 0.05
      {6, "field_size", "Space size", ControlKind::Slider, 1},    // step 0.1
      {21, "alternate_tap_polarity", "Anti-flutter", ControlKind::Switch, 0},
      {24, "treble_shelf_hz", "Crispness corner", ControlKind::Slider, 0},
      {25, "haas_delay_ms", "Haas widener", ControlKind::Slider, 1},  // step 0.5
      {27, "wet_dry_ratio", "Wet / dry", ControlKind::Slider, 2},
      {28, "quantum", "Latency", ControlKind::Combo, 0},
  };
  for (const Case& c : cases) {
    const ControlSpec& control = ControlSpecAt(c.row);
    EXPECT_STREQ(control.key, c.key);
    EXPECT_STREQ(control.label, c.label);
    EXPECT_EQ(WidgetKind(control), c.kind) << c.key;
    if (c.kind == ControlKind::Slider) {
      EXPECT_EQ(SliderDecimals(control.step), c.decimals) << c.key;
    }
  }
  // Every labelled value is one the key accepts, so none drops out of the list.
  const std::pair<size_t, size_t> choice_counts[] = {{0, 5}, {1, 2}, {26, 2}, {28, 6}};
  for (const auto& [row, count] : choice_counts) {
    EXPECT_EQ(ControlSpecAt(row).choice_count, count) << ControlSpecAt(row).key;
  }
  EXPECT_STREQ(ChoiceLabel("spatial_algorithm", "experimental"), "Immersive");
  EXPECT_STREQ(ChoiceLabel("haas_channel", "R"), "Right");
  EXPECT_EQ(ChoiceLabel("haas_channel", "speakers"), nullptr);
  EXPECT_EQ(ChoiceLabel("no_such_key", "L"), nullptr);
}

}  // namespace
}  // namespace halvex
