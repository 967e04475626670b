#include "tray/control_spec.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/config_keys.h"
#include "core/config/config_params.h"

namespace halvex {
namespace {

constexpr ControlChoice kAlgorithms[] = {
    {"Echo widener", "echo_widener"},       {"Immersive", "experimental"},
    {"Deep field", "deep_field"},           {"Matrix surround", "matrix_surround"},
    {"Matrix steered", "matrix_steer"},
};
constexpr ControlChoice kTargets[] = {{"Speakers", "speakers"}, {"Headphones", "headphones"}};
constexpr ControlChoice kChannels[] = {{"Left", "L"}, {"Right", "R"}};
// Milliseconds at the engine's 48000 Hz.
constexpr ControlChoice kQuanta[] = {
    {"Automatic", "0"},           {"256 frames (5.3 ms)", "256"},
    {"512 frames (10.7 ms)", "512"}, {"1024 frames (21.3 ms)", "1024"},
    {"2048 frames (42.7 ms)", "2048"}, {"4096 frames (85.3 ms)", "4096"},
};

// A row's choices label the values it offers; a value of the key without a label is not offered.
constexpr ControlSpec Choice(const char* key, const char* label, const char* tooltip,
                             ControlScope scope, const ControlChoice* labels, size_t count) {
  return {key, label, tooltip, ControlKind::Combo, scope, 0, 0, 0, labels, count};
}
// The range comes from the key table.
constexpr ControlSpec Slider(const char* key, const char* label, const char* tooltip,
                             ControlScope scope, float step) {
  return {key, label, tooltip, ControlKind::Slider, scope, 0, 0, step, nullptr, 0};
}

using S = ControlScope;

// Rows in window order, as written here; Table() completes them from the key table.
constexpr ControlSpec kRows[] = {
    Choice("spatial_algorithm", "Algorithm",
           "Which spatial algorithm runs. Immersive re-places the recorded ambience around you "
           "without echoes.",
           S::All, kAlgorithms, std::size(kAlgorithms)),
    Choice("render_target", "Render for",
           "Set this to match what you are listening on. Speakers get deliberately gentle cues and "
           "mono-safe bass; headphones have no crosstalk, so they get much stronger ones — on "
           "headphones the speakers setting sounds nearly transparent.",
           S::NotEchoWidener, kTargets, std::size(kTargets)),
    Slider("ambience_spread", "Ambience spread",
           "How far the recorded diffuse field is re-placed around you. 0 = off, and it changes "
           "placement only, not loudness.",
           S::Experimental, 0.01f),
    Slider("ambience_depth", "Distance",
           "Trades the direct sound against the space around it — the ear's main distance cue. "
           "Above 1 pushes sources back into the room, below 1 brings them forward. 1.0 is "
           "neutral.",
           S::Experimental, 0.05f),
    Slider("direct_spread", "Direct spread",
           "0 keeps instruments and voices exactly in place; above 0 spreads their partials "
           "around you too.",
           S::Experimental, 0.01f),
    Slider("distance", "Distance",
           "How far away the source sits. 1 leaves it exactly where the mix put it; higher moves "
           "it back into the space, quieter and darker.",
           S::DeepField, 0.05f),
    Slider("field_size", "Space size",
           "How long the surrounding field takes to decay — how big the space is, in seconds.",
           S::DeepField, 0.1f),
    Slider("field_level", "Field level",
           "Level of the surrounding field. -40 mutes it, which together with distance 1 is a "
           "true bypass.",
           S::DeepField, 0.5f),
    Slider("air", "Air absorption",
           "How much high frequency the direct sound loses as it moves away.", S::DeepField, 0.01f),
    Slider("envelopment", "Envelopment",
           "Whether the field surrounds you or stays in front of you.", S::DeepField, 0.01f),
    Slider("recycle", "Recycle",
           "How much of the field is fed back into itself, so a diffuse mix keeps building the "
           "space rather than only the direct sound doing it.",
           S::DeepField, 0.01f),
    Slider("surround_gain", "Surround level",
           "Level of the decoded surround placed back into the two channels. 1.0 moves it "
           "without changing the overall level.",
           S::Matrix, 0.05f),
    Slider("centre_width", "Centre width",
           "0 anchors a centred voice hard by keeping it out of the surrounds; 1 leaves it in "
           "them, for a wider, more diffuse centre.",
           S::MatrixSteer, 0.01f),
    Slider("dimension", "Dimension",
           "Front/back tilt of the decode. Negative pulls the image forward, positive pushes it "
           "back.",
           S::MatrixSteer, 0.05f),
    Slider("panorama", "Panorama", "Wraps front ambience into the surrounds.", S::MatrixSteer,
           0.01f),
    Slider("echo_side_gain", "Width",
           "Echo widener width. Negative values cross-feed (the image flips).", S::EchoWidener,
           0.1f),
    Slider("echo_mid_gain", "Room colour",
           "Echo energy sent to the centre. 0 leaves the centre mathematically clean.",
           S::EchoWidener, 0.01f),
    Slider("widen_scale", "Echo level", "Overall echo level of the widener. 0 = no echoes.",
           S::EchoWidener, 0.01f),
    Slider("steer_amount", "Steering",
           "How hard each band's echoes follow where the mix panned it.", S::EchoWidener, 0.01f),
    Slider("steer_depth", "Steering depth", "How much decorrelated ambience is pushed deeper.",
           S::EchoWidener, 0.01f),
    Slider("stft_expand", "Re-staging",
           "Per-bin pan expansion in front of the widener. 0 = bypassed.", S::EchoWidener, 0.01f),
    {"alternate_tap_polarity", "Anti-flutter",
     "Alternating echo polarity; breaks the metallic flutter comb.", ControlKind::Switch,
     S::EchoWidener, 0, 0, 0, nullptr, 0},
    Slider("bass", "Bass",
           "How much low end survives the effect. 1 = the track's own bass, untouched; lower "
           "trims it below 180 Hz.",
           S::All, 0.01f),
    Slider("treble_shelf_db", "Crispness", "High-shelf gain above the corner below. 0 = bypassed.",
           S::All, 0.1f),
    Slider("treble_shelf_hz", "Crispness corner", "Where the crispness shelf starts, in Hz.",
           S::All, 100),
    Slider("haas_delay_ms", "Haas widener", "Broadband one-channel delay for raw width. 0 = off.",
           S::All, 0.5f),
    Choice("haas_channel", "Haas channel",
           "Which channel the Haas widener delays; the image leans to the other.", S::All,
           kChannels, std::size(kChannels)),
    Slider("wet_dry_ratio", "Wet / dry", "Processed versus untouched blend. 0 = fully dry.",
           S::All, 0.01f),
    Choice("quantum", "Latency",
           "How many frames the sound system handles at once while Halvex runs. Fewer react "
           "faster (games, calls) but cost more CPU; Automatic lets your players decide.",
           S::All, kQuanta, std::size(kQuanta)),
};

// The labelled values in the order the key table gives its words, so a choice's position is the
// one the accessor's number reports.
std::vector<ControlChoice> Offered(const ControlSpec& row, const ConfigKey* key) {
  std::vector<ControlChoice> offered;
  if (key == nullptr) return offered;
  for (const std::string& word : ChoiceWords(*key)) {
    for (size_t i = 0; i < row.choice_count; ++i) {
      if (word == row.choices[i].value) offered.push_back(row.choices[i]);
    }
  }
  return offered;
}

struct ControlTable {
  std::vector<ControlSpec> specs;
  std::vector<std::vector<ControlChoice>> choices;  // the storage the specs point into
};

const ControlTable& Table() {
  static const ControlTable table = [] {
    ControlTable built;
    built.choices.reserve(std::size(kRows));
    for (const ControlSpec& row : kRows) {
      const ConfigKey* key = FindConfigKey(row.key);
      const std::vector<ControlChoice>& offered = built.choices.emplace_back(Offered(row, key));
      ControlSpec& control = built.specs.emplace_back(row);
      if (key != nullptr && key->rule == KeyRule::kRange) {
        control.min = key->lo;
        control.max = key->hi;
      }
      control.choices = offered.empty() ? nullptr : offered.data();
      control.choice_count = offered.size();
    }
    return built;
  }();
  return table;
}

bool Is(const char* algorithm, std::string_view name) {
  return algorithm != nullptr && name == algorithm;
}

}  // namespace

size_t ControlSpecCount() { return Table().specs.size(); }

const ControlSpec& ControlSpecAt(size_t index) { return Table().specs[index]; }

int ChoiceIndex(const ControlSpec& control, const ProcessorConfig& config) {
  // By text, not number: a choice's number need not be its position (frame counts).
  std::string text;
  if (!ReadParamText(config, control.key, text)) return -1;
  for (size_t i = 0; i < control.choice_count; ++i) {
    if (text == control.choices[i].value) return static_cast<int>(i);
  }
  return -1;
}

const char* ChoiceLabel(const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return nullptr;
  for (const ControlSpec& control : Table().specs) {
    if (std::strcmp(control.key, key) != 0) continue;
    for (size_t i = 0; i < control.choice_count; ++i) {
      if (std::strcmp(control.choices[i].value, value) == 0) return control.choices[i].label;
    }
    return nullptr;
  }
  return nullptr;
}

bool ScopeAppliesTo(ControlScope scope, const char* algorithm) {
  switch (scope) {
    case ControlScope::All:
      return true;
    case ControlScope::EchoWidener:
      return Is(algorithm, "echo_widener");
    case ControlScope::Experimental:
      return Is(algorithm, "experimental");
    case ControlScope::DeepField:
      return Is(algorithm, "deep_field");
    case ControlScope::NotEchoWidener:
      return !Is(algorithm, "echo_widener");
    case ControlScope::Matrix:
      return Is(algorithm, "matrix_surround") || Is(algorithm, "matrix_steer");
    case ControlScope::MatrixSteer:
      return Is(algorithm, "matrix_steer");
  }
  return true;
}

ControlKind WidgetKind(const ControlSpec& control) {
  const ParamAccessor* accessor = FindParam(control.key);
  if (accessor == nullptr) return control.kind;
  switch (accessor->Kind()) {
    case ParamKind::Flag:
      return ControlKind::Switch;
    case ParamKind::Choice:
      return ControlKind::Combo;
    case ParamKind::Float:
    case ParamKind::Device:
      return ControlKind::Slider;
  }
  return control.kind;
}

int SliderDecimals(float step) {
  if (step >= 1.0f) return 0;
  if (step >= 0.1f) return 1;
  return 2;
}

}  // namespace halvex
