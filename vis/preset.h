// Preset files: key=value text read into the fixed parameters and the three equation programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::vis {

// Larger preset texts are refused like unparsable ones.
constexpr size_t kMaxPresetBytes = 1u << 20;

// The parameters the evaluator and renderer take from a preset, with their defaults.
struct PresetParams {
  float zoom = 1.0f;
  float rot = 0.0f;
  float warp = 1.0f;
  float cx = 0.5f;
  float cy = 0.5f;
  float dx = 0.0f;
  float dy = 0.0f;
  float sx = 1.0f;
  float sy = 1.0f;
  float decay = 0.98f;
  float gamma = 1.0f;
  float echo_zoom = 1.0f;
  float echo_alpha = 0.0f;
  int32_t echo_orientation = 0;
  bool invert = false;
  bool brighten = false;
  bool darken = false;
  bool solarize = false;
  float wave_a = 1.0f;
  float wave_r = 1.0f;
  float wave_g = 1.0f;
  float wave_b = 1.0f;
  float wave_x = 0.5f;
  float wave_y = 0.5f;
  int32_t wave_mode = 0;
  bool additive_waves = false;
  bool wave_thick = false;  // kept, but waves are always one pixel wide
};

struct Preset : PresetParams {
  std::string name;
  std::string per_frame_init;
  std::string per_frame;
  std::string per_pixel;
  bool has_shaders = false;  // carries shader stages; drawn with the fixed pipeline anyway
  std::vector<std::string> notes;
};

// Key prefixes of shader stages.
extern const char* const kShaderKeys[2];

using PresetValueMap = std::map<std::string, std::string>;

// Every key=value line of the text (keys lower case, later lines win).
PresetValueMap PresetValues(std::string_view text);
// False when the text holds no key=value line or is larger than kMaxPresetBytes (the preset
// is then not touched); otherwise fills `preset` and returns true.
bool ParsePreset(std::string_view text, const std::string& name, Preset& preset);

std::string Trim(std::string_view text);
// Adds one program line, so that every line ends as a complete statement.
void Append(std::string& code, std::string_view line);
// The value as strtod reads it (0 for text that is not a number), or `fallback` when absent.
float Number(const PresetValueMap& values, const std::string& key, float fallback);
// False when absent, else whether the number is non-zero (NaN counts as non-zero).
bool Flag(const PresetValueMap& values, const std::string& key);

}  // namespace halvex::vis
