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
struct NumberKey {
  const char* key;
  float PresetParams::*field;
};
constexpr NumberKey kNumberKeys[] = {
    {"fzoom", &PresetParams::zoom},
    {"frot", &PresetParams::rot},
    {"fwarpamount", &PresetParams::warp},
    {"fcx", &PresetParams::cx},
    {"fcy", &PresetParams::cy},
    {"fdx", &PresetParams::dx},
    {"fdy", &PresetParams::dy},
    {"fstretchx", &PresetParams::sx},
    {"fstretchy", &PresetParams::sy},
    {"fdecay", &PresetParams::decay},
    {"fgammaadj", &PresetParams::gamma},
    {"fvideoechozoom", &PresetParams::echo_zoom},
    {"fvideoechoalpha", &PresetParams::echo_alpha},
    {"fwavealpha", &PresetParams::wave_a},
    {"wave_r", &PresetParams::wave_r},
    {"wave_g", &PresetParams::wave_g},
    {"wave_b", &PresetParams::wave_b},
    {"wave_x", &PresetParams::wave_x},
    {"wave_y", &PresetParams::wave_y},
};
struct FlagKey {
  const char* key;
  bool PresetParams::*field;
};
constexpr FlagKey kFlagKeys[] = {
    {"binvert", &PresetParams::invert},
    {"bbrighten", &PresetParams::brighten},
    {"bdarken", &PresetParams::darken},
    {"bsolarize", &PresetParams::solarize},
    {"badditivewaves", &PresetParams::additive_waves},
    {"bwavethick", &PresetParams::wave_thick},
};
// Whole numbers, read as numbers and converted; absent means 0.
struct IntegerKey {
  const char* key;
  int32_t PresetParams::*field;
};
constexpr IntegerKey kIntegerKeys[] = {
    {"nvideoechoorientation", &PresetParams::echo_orientation},
    {"nwavemode", &PresetParams::wave_mode},
};

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

  for (const NumberKey& k : kNumberKeys) preset.*k.field = Number(values, k.key, preset.*k.field);
  for (const FlagKey& k : kFlagKeys) preset.*k.field = Flag(values, k.key);
  for (const IntegerKey& k : kIntegerKeys) {
    preset.*k.field = SaturatingInt32(Number(values, k.key, 0.0f));
  }

  ReadCustomParts(values, preset);
  if (preset.has_shaders) {
    preset.notes.push_back("carries MilkDrop 2 shader stages; rendering with the fixed pipeline");
  }
  return true;
}

}  // namespace halvex::vis
