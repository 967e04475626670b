// Reading the custom waves and shapes of a preset file.
#include <algorithm>
#include <cmath>
#include <string>

#include "vis/number_conversion.h"
#include "vis/preset.h"

namespace halvex::vis {

namespace {

// A key that is absent or does not read as a number keeps its default; a finite value is
// clamped to [low, high] (a NaN or infinity also keeps the default).
float Value(const PresetValueMap& values, const std::string& key, float fallback,
            float low = -1e6f, float high = 1e6f) {
  const auto it = values.find(key);
  if (it == values.end()) return fallback;
  char* end = nullptr;
  const double number = ReadDouble(it->second.c_str(), &end);
  if (end == it->second.c_str() || !std::isfinite(number)) return fallback;
  return static_cast<float>(std::clamp(number, double{low}, double{high}));
}

float Colour(const PresetValueMap& values, const std::string& key, float fallback) {
  return Value(values, key, fallback, 0.0f, 1.0f);
}

// The four channels of one colour: keys `before` r, g, b, a `after`.
void ReadRgba(const PresetValueMap& values, const std::string& before, const std::string& after,
              float& r, float& g, float& b, float& a) {
  r = Colour(values, before + "r" + after, r);
  g = Colour(values, before + "g" + after, g);
  b = Colour(values, before + "b" + after, b);
  a = Colour(values, before + "a" + after, a);
}

// A count clamped to [low, high], with a note when the file asked for more or less.
int32_t Count(const PresetValueMap& values, const std::string& key, int32_t fallback,
              int32_t low, int32_t high, std::vector<std::string>& notes) {
  const auto it = values.find(key);
  if (it == values.end()) return fallback;
  char* end = nullptr;
  const double number = ReadDouble(it->second.c_str(), &end);
  if (end == it->second.c_str() || std::isnan(number)) return fallback;
  const int32_t n = SaturatingInt32(number);
  const int32_t clamped = std::clamp(n, low, high);
  if (clamped != n) notes.push_back(key + " clamped to " + std::to_string(clamped));
  return clamped;
}

// "wave_2_per_point" from "wave_2_per_point14" etc.: the slot (0..3) and the block's name after
// "<kind>_N_", or false for keys of another form.
bool CodeKey(const std::string& key, const std::string& kind, size_t& slot, std::string& rest) {
  if (key.size() < kind.size() + 3 || key.compare(0, kind.size(), kind) != 0) return false;
  const char digit = key[kind.size()];
  if (digit < '0' || digit >= static_cast<char>('0' + kCustomSlots)) return false;
  if (key[kind.size() + 1] != '_') return false;
  slot = static_cast<size_t>(digit - '0');
  rest = key.substr(kind.size() + 2);
  return true;
}

// Splits "per_frame12" into its block ("per_frame") and line number, for the blocks given.
bool Block(const std::string& rest, std::initializer_list<const char*> blocks, size_t& which,
           uint64_t& line) {
  size_t i = 0;
  for (const char* block : blocks) {
    const std::string name = block;
    if (rest.compare(0, name.size(), name) == 0 && rest.size() > name.size() &&
        rest[name.size()] >= '0' && rest[name.size()] <= '9') {
      which = i;
      line = LineNumber(std::string_view(rest).substr(name.size()));
      return true;
    }
    ++i;
  }
  return false;
}

void ReadWave(const PresetValueMap& values, size_t n, CustomWaveSpec& w,
              std::vector<std::string>& notes) {
  const std::string p = "wavecode_" + std::to_string(n) + "_";
  w.enabled = Flag(values, p + "enabled");
  w.samples = Count(values, p + "samples", w.samples, 1, kMaxWaveSamples, notes);
  w.sep = Count(values, p + "sep", w.sep, 0, kMaxWaveSamples, notes);
  w.spectrum = Flag(values, p + "bspectrum");
  w.dots = Flag(values, p + "busedots");
  w.thick = Flag(values, p + "bdrawthick");
  w.additive = Flag(values, p + "badditive");
  w.scaling = Value(values, p + "scaling", w.scaling);
  w.smoothing = Value(values, p + "smoothing", w.smoothing, 0.0f, 1.0f);
  ReadRgba(values, p, "", w.r, w.g, w.b, w.a);
}

void ReadShape(const PresetValueMap& values, size_t n, CustomShapeSpec& s,
               std::vector<std::string>& notes) {
  const std::string p = "shapecode_" + std::to_string(n) + "_";
  s.enabled = Flag(values, p + "enabled");
  s.sides = Count(values, p + "sides", s.sides, kMinShapeSides, kMaxShapeSides, notes);
  s.additive = Flag(values, p + "additive");
  s.thick = Flag(values, p + "thickoutline");
  s.textured = Flag(values, p + "textured");
  s.x = Value(values, p + "x", s.x);
  s.y = Value(values, p + "y", s.y);
  s.rad = Value(values, p + "rad", s.rad, 0.0f, 10.0f);
  s.ang = Value(values, p + "ang", s.ang);
  s.tex_ang = Value(values, p + "tex_ang", s.tex_ang);
  s.tex_zoom = Value(values, p + "tex_zoom", s.tex_zoom);
  ReadRgba(values, p, "", s.r, s.g, s.b, s.a);
  ReadRgba(values, p, "2", s.r2, s.g2, s.b2, s.a2);
  ReadRgba(values, p + "border_", "", s.border_r, s.border_g, s.border_b, s.border_a);
}

}  // namespace

void ReadCustomParts(const PresetValueMap& values, Preset& preset) {
  for (size_t n = 0; n < kCustomSlots; ++n) {
    ReadWave(values, n, preset.waves[n], preset.notes);
    ReadShape(values, n, preset.shapes[n], preset.notes);
  }
  std::array<std::array<ProgramLines, 3>, kCustomSlots> wave_lines;
  std::array<std::array<ProgramLines, 2>, kCustomSlots> shape_lines;
  for (const auto& [key, value] : values) {
    size_t slot = 0;
    size_t which = 0;
    uint64_t line = 0;
    std::string rest;
    if (CodeKey(key, "wave_", slot, rest) &&
        Block(rest, {"init", "per_frame", "per_point"}, which, line)) {
      wave_lines[slot][which].emplace_back(line, value);
    } else if (CodeKey(key, "shape_", slot, rest) &&
               Block(rest, {"init", "per_frame"}, which, line)) {
      shape_lines[slot][which].emplace_back(line, value);
    }
  }
  for (size_t n = 0; n < kCustomSlots; ++n) {
    CustomWaveSpec& w = preset.waves[n];
    Assemble(wave_lines[n][0], w.init);
    Assemble(wave_lines[n][1], w.per_frame);
    Assemble(wave_lines[n][2], w.per_point);
    Assemble(shape_lines[n][0], preset.shapes[n].init);
    Assemble(shape_lines[n][1], preset.shapes[n].per_frame);
  }
}

}  // namespace halvex::vis
