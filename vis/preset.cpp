#include "vis/preset.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <tuple>

#include "vis/number_conversion.h"

namespace halvex::vis {

const char* const kShaderKeys[2] = {"warp_", "comp_"};

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

double ReadNumber(const std::string& text) { return ReadDouble(text.c_str(), nullptr); }

// The file's keys of the plain parameters (lower case, as PresetValues leaves them).
template <typename T>
struct FieldKey {
  const char* key;
  T PresetParams::*field;
};
using P = PresetParams;
constexpr FieldKey<float> kNumberKeys[] = {
    {"fzoom", &P::zoom},           {"frot", &P::rot},        {"fwarpamount", &P::warp},
    {"fcx", &P::cx},               {"fcy", &P::cy},          {"fdx", &P::dx},
    {"fdy", &P::dy},               {"fstretchx", &P::sx},    {"fstretchy", &P::sy},
    {"fdecay", &P::decay},         {"fgammaadj", &P::gamma}, {"fvideoechozoom", &P::echo_zoom},
    {"fvideoechoalpha", &P::echo_alpha}, {"fwavealpha", &P::wave_a},
    {"wave_r", &P::wave_r},        {"wave_g", &P::wave_g},   {"wave_b", &P::wave_b},
    {"wave_x", &P::wave_x},        {"wave_y", &P::wave_y},
};
constexpr FieldKey<bool> kFlagKeys[] = {
    {"binvert", &P::invert},     {"bbrighten", &P::brighten},
    {"bdarken", &P::darken},     {"bsolarize", &P::solarize},
    {"badditivewaves", &P::additive_waves}, {"bwavethick", &P::wave_thick},
};
// Whole numbers, read as numbers and converted; absent means 0.
constexpr FieldKey<int32_t> kIntegerKeys[] = {
    {"nvideoechoorientation", &P::echo_orientation}, {"nwavemode", &P::wave_mode}};

}  // namespace

uint64_t LineNumber(std::string_view text) {
  uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      return std::numeric_limits<uint64_t>::max();
    }
    n = n * 10 + digit;
  }
  return n;
}

void Assemble(ProgramLines& lines, std::string& code) {
  std::sort(lines.begin(), lines.end());
  for (const auto& [n, line] : lines) {
    if (!line.empty()) Append(code, line);
  }
}

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

PresetValueMap PresetValues(std::string_view text) {
  PresetValueMap values;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line[0] == '[' || line[0] == '/') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = Trim(std::string_view(line).substr(0, equals));
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) {
      return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    values[std::move(key)] = Trim(std::string_view(line).substr(equals + 1));
  }
  return values;
}

void Append(std::string& code, std::string_view line) {
  if (!code.empty()) code.push_back('\n');
  code.append(line);
  if (code.back() != ';') code.push_back(';');
}

float Number(const PresetValueMap& values, const std::string& key, float fallback) {
  const auto it = values.find(key);
  return it == values.end() ? fallback : NarrowToFloat(ReadNumber(it->second));
}

bool Flag(const PresetValueMap& values, const std::string& key) {
  const auto it = values.find(key);
  return it != values.end() && ReadNumber(it->second) != 0.0;
}

bool ParsePreset(std::string_view text, const std::string& name, Preset& preset) {
  if (text.size() > kMaxPresetBytes) return false;
  const PresetValueMap values = PresetValues(text);
  if (values.empty()) return false;
  preset = Preset{};
  preset.name = name;

  ProgramLines init, frame, vertex;
  for (const auto& [key, value] : values) {
    const std::string_view k = key;
    if (k.starts_with("per_frame_init_")) {
      init.emplace_back(LineNumber(k.substr(15)), value);
    } else if (k.starts_with("per_frame_")) {
      frame.emplace_back(LineNumber(k.substr(10)), value);
    } else if (k.starts_with("per_pixel_")) {
      vertex.emplace_back(LineNumber(k.substr(10)), value);
    }
    for (const char* prefix : kShaderKeys) {
      if (k.starts_with(prefix) && !value.empty()) preset.has_shaders = true;
    }
  }
  Assemble(init, preset.per_frame_init);
  Assemble(frame, preset.per_frame);
  Assemble(vertex, preset.per_pixel);

  for (const auto& k : kNumberKeys) preset.*k.field = Number(values, k.key, preset.*k.field);
  for (const auto& k : kFlagKeys) preset.*k.field = Flag(values, k.key);
  for (const auto& k : kIntegerKeys) {
    preset.*k.field = SaturatingInt32(Number(values, k.key, 0.0f));
  }

  ReadCustomParts(values, preset);
  if (preset.has_shaders) {
    preset.notes.push_back("carries MilkDrop 2 shader stages; rendering with the fixed pipeline");
  }
  return true;
}

}  // namespace halvex::vis
