// The table the control window is generated from: one row per settable control, its range and
// offered values taken from the configuration key table.
#pragma once

#include <cstddef>

#include "core/config/config_defaults.h"

namespace halvex {

// Which algorithms a row applies to.
enum class ControlScope : int {
  All = 0,
  EchoWidener = 1,
  Experimental = 2,
  DeepField = 3,
  NotEchoWidener = 4,
  Matrix = 5,
  MatrixSteer = 6,
};

// The widget a row gets when its key is not in the accessor table.
enum class ControlKind : int {
  Slider = 0,
  Switch = 1,
  Combo = 2,
};

struct ControlChoice {
  const char* label;
  const char* value;
};

struct ControlSpec {
  const char* key;
  const char* label;
  const char* tooltip;
  ControlKind kind;
  ControlScope scope;
  float min;
  float max;
  float step;
  const ControlChoice* choices;
  size_t choice_count;
};

size_t ControlSpecCount();
const ControlSpec& ControlSpecAt(size_t index);

// The label of `value` among the choices of `key`'s row, or null when there is no such choice.
// Position of the configuration's value among the control's choices, -1 when not offered.
int ChoiceIndex(const ControlSpec& control, const ProcessorConfig& config);

const char* ChoiceLabel(const char* key, const char* value);

// Whether a row of `scope` is shown while `algorithm` (a protocol name) runs.
bool ScopeAppliesTo(ControlScope scope, const char* algorithm);

// The accessor table's kind decides (Flag: switch, Choice: combo, else slider); the row's own kind
// serves for a key the table does not know.
ControlKind WidgetKind(const ControlSpec& control);

// Digits a slider shows after the point: 0 for a step of 1 or more, 1 down to 0.1, else 2.
int SliderDecimals(float step);

}  // namespace halvex
