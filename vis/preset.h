// Preset files: key=value text read into the fixed parameters and the three equation programs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
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

// Custom waves and shapes a preset may draw.
inline constexpr size_t kCustomSlots = 4;
inline constexpr int32_t kMaxWaveSamples = 512;
inline constexpr int32_t kMinShapeSides = 3;
inline constexpr int32_t kMaxShapeSides = 100;

struct CustomWaveSpec {
  bool enabled = false;
  int32_t samples = kMaxWaveSamples;
  int32_t sep = 0;
  bool spectrum = false;
  bool dots = false;
  bool thick = false;
  bool additive = false;
  float scaling = 1.0f;
  float smoothing = 0.5f;
  float r = 1.0f, g = 1.0f, b = 1.0f, a = 1.0f;
  std::string init, per_frame, per_point;
};

struct CustomShapeSpec {
  bool enabled = false;
  int32_t sides = 4;
  bool additive = false;
  bool thick = false;
  bool textured = false;
  float x = 0.5f, y = 0.5f, rad = 0.1f, ang = 0.0f;
  float tex_ang = 0.0f, tex_zoom = 1.0f;
  float r = 1.0f, g = 0.0f, b = 0.0f, a = 1.0f;
  float r2 = 0.0f, g2 = 1.0f, b2 = 0.0f, a2 = 0.0f;
  float border_r = 1.0f, border_g = 1.0f, border_b = 1.0f, border_a = 0.1f;
  std::string init, per_frame;
};

struct Preset : PresetParams {
  std::string name;
  std::string per_frame_init;
  std::string per_frame;
  std::string per_pixel;
  bool has_shaders = false;  // carries shader stages; drawn with the fixed pipeline anyway
  std::vector<std::string> notes;
  std::array<CustomWaveSpec, kCustomSlots> waves;
  std::array<CustomShapeSpec, kCustomSlots> shapes;
};

// Key prefixes of shader stages.
extern const char* const kShaderKeys[2];

using PresetValueMap = std::map<std::string, std::string>;

// Every key=value line of the text (keys lower case, later lines win).
PresetValueMap PresetValues(std::string_view text);
// False when the text holds no key=value line or is larger than kMaxPresetBytes (the preset
// is then not touched); otherwise fills `preset` and returns true.
bool ParsePreset(std::string_view text, const std::string& name, Preset& preset);

// The wavecode_N_* / shapecode_N_* keys and the wave_N_* / shape_N_* code lines; out-of-range
// counts are clamped with a note.
void ReadCustomParts(const PresetValueMap& values, Preset& preset);

// The decimal digits at the start of `text`, saturating; 0 when there are none.
uint64_t LineNumber(std::string_view text);
// Numbered program lines, joined in numeric order (then by text) with Append.
using ProgramLines = std::vector<std::pair<uint64_t, std::string>>;
void Assemble(ProgramLines& lines, std::string& code);

std::string Trim(std::string_view text);
// Adds one program line, so that every line ends as a complete statement.
void Append(std::string& code, std::string_view line);
// The value as strtod reads it (0 for text that is not a number), or `fallback` when absent.
float Number(const PresetValueMap& values, const std::string& key, float fallback);
// False when absent, else whether the number is non-zero (NaN counts as non-zero).
bool Flag(const PresetValueMap& values, const std::string& key);

}  // namespace halvex::vis
