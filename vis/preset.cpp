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

  const PresetParams d;
  preset.zoom = Number(values, "fzoom", d.zoom);
  preset.rot = Number(values, "frot", d.rot);
  preset.warp = Number(values, "fwarpamount", d.warp);
  preset.cx = Number(values, "fcx", d.cx);
  preset.cy = Number(values, "fcy", d.cy);
  preset.dx = Number(values, "fdx", d.dx);
  preset.dy = Number(values, "fdy", d.dy);
  preset.sx = Number(values, "fstretchx", d.sx);
  preset.sy = Number(values, "fstretchy", d.sy);
  preset.decay = Number(values, "fdecay", d.decay);
  preset.gamma = Number(values, "fgammaadj", d.gamma);
  preset.echo_zoom = Number(values, "fvideoechozoom", d.echo_zoom);
  preset.echo_alpha = Number(values, "fvideoechoalpha", d.echo_alpha);
  preset.echo_orientation = SaturatingInt32(Number(values, "nvideoechoorientation", 0.0f));
  preset.invert = Flag(values, "binvert");
  preset.brighten = Flag(values, "bbrighten");
  preset.darken = Flag(values, "bdarken");
  preset.solarize = Flag(values, "bsolarize");
  preset.wave_a = Number(values, "fwavealpha", d.wave_a);
  preset.wave_r = Number(values, "wave_r", d.wave_r);
  preset.wave_g = Number(values, "wave_g", d.wave_g);
  preset.wave_b = Number(values, "wave_b", d.wave_b);
  preset.wave_x = Number(values, "wave_x", d.wave_x);
  preset.wave_y = Number(values, "wave_y", d.wave_y);
  preset.wave_mode = SaturatingInt32(Number(values, "nwavemode", 0.0f));
  preset.additive_waves = Flag(values, "badditivewaves");
  preset.wave_thick = Flag(values, "bwavethick");

  ReadCustomParts(values, preset);
  if (preset.has_shaders) {
    preset.notes.push_back("carries MilkDrop 2 shader stages; rendering with the fixed pipeline");
  }
  return true;
}

}  // namespace halvex::vis
