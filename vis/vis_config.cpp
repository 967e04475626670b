#include "vis/vis_config.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace halvex::vis {

namespace {

using nlohmann::json;

std::string HomeOrDot() {
  const char* home = std::getenv("HOME");
  return home != nullptr ? home : ".";
}

void NoteClamp(const char* key, std::string& notes) {
  notes += key;
  notes += " clamped to range; ";
}

// The value at `key` when it is a number (booleans are not), else null.
const json* NumberAt(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return nullptr;
  return &*it;
}

void ReadString(const json& object, const char* key, std::string& field) {
  const auto it = object.find(key);
  if (it != object.end() && it->is_string()) field = it->get<std::string>();
}

void ReadBool(const json& object, const char* key, bool& field) {
  const auto it = object.find(key);
  if (it != object.end() && it->is_boolean()) field = it->get<bool>();
}

}  // namespace

VisConfig DefaultVisConfig() {
  VisConfig config;
  if (const char* data = std::getenv("XDG_DATA_HOME")) {
    config.preset_dir = std::string(data) + "/halvex/presets";
  } else {
    config.preset_dir = HomeOrDot() + "/.local/share/halvex/presets";
  }
  return config;
}

std::string DefaultVisConfigPath() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME")) {
    return std::string(config) + "/halvex/vis.json";
  }
  return HomeOrDot() + "/.config/halvex/vis.json";
}

float Clamped(const json& object, const char* key, float fallback, float low, float high,
              std::string& notes) {
  const json* number = NumberAt(object, key);
  if (number == nullptr) return fallback;
  const float value = static_cast<float>(number->get<double>());
  // A NaN cannot come from JSON; an infinity (from a double beyond float) clamps like any other.
  const float clamped = value < low ? low : (value > high ? high : value);
  if (clamped != value) NoteClamp(key, notes);
  return clamped;
}

uint64_t Clamped(const json& object, const char* key, uint64_t fallback, uint64_t low,
                 uint64_t high, std::string& notes) {
  const json* number = NumberAt(object, key);
  if (number == nullptr) return fallback;
  uint64_t value = 0;
  if (number->is_number_unsigned()) {
    value = number->get<uint64_t>();
  } else if (number->is_number_integer()) {
    value = static_cast<uint64_t>(number->get<int64_t>());  // negative wraps, by design
  } else {
    // Truncate toward zero without the undefined float-to-integer casts out of range.
    const double d = std::trunc(number->get<double>());
    if (d >= 18446744073709551616.0) {
      value = std::numeric_limits<uint64_t>::max();
    } else if (d >= 0) {
      value = static_cast<uint64_t>(d);
    } else if (d >= -9223372036854775808.0) {
      value = static_cast<uint64_t>(static_cast<int64_t>(d));
    } else {
      value = std::numeric_limits<uint64_t>::max();
    }
  }
  const uint64_t clamped = value < low ? low : (value > high ? high : value);
  if (clamped != value) NoteClamp(key, notes);
  return clamped;
}

int32_t Clamped(const json& object, const char* key, int32_t fallback, int32_t low, int32_t high,
                std::string& notes) {
  const json* number = NumberAt(object, key);
  if (number == nullptr) return fallback;
  // Clamped in double first: a value beyond int32 has no converted value to compare against, and
  // it is out of range whatever it would have become.
  double value = 0;
  if (number->is_number_unsigned()) {
    value = static_cast<double>(number->get<uint64_t>());
  } else if (number->is_number_integer()) {
    value = static_cast<double>(number->get<int64_t>());
  } else {
    value = std::trunc(number->get<double>());
  }
  const double clamped = value < low ? low : (value > high ? high : value);
  if (clamped != value) NoteClamp(key, notes);
  return static_cast<int32_t>(clamped);
}

bool ParseVisConfig(const std::string& text, VisConfig& config, std::string& notes) {
  if (text.size() > kMaxVisConfigBytes) {
    notes = "config exceeds size limit";
    return false;
  }
  json doc;
  try {
    doc = json::parse(text, /*cb=*/nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
  } catch (const json::exception& e) {
    notes = std::string("config parse error: ") + e.what();
    return false;
  }
  if (!doc.is_object()) {
    notes = "config must be a JSON object";
    return false;
  }
  ReadString(doc, "preset_dir", config.preset_dir);
  ReadString(doc, "node_target", config.node_target);
  config.preset_time = Clamped(doc, "preset_time", config.preset_time, 5.0f, 300.0f, notes);
  config.blend_time = Clamped(doc, "blend_time", config.blend_time, 0.0f, 10.0f, notes);
  config.mesh_x = Clamped(doc, "mesh_x", config.mesh_x, uint64_t{16}, uint64_t{96}, notes);
  config.mesh_y = Clamped(doc, "mesh_y", config.mesh_y, uint64_t{16}, uint64_t{96}, notes);
  config.fps_cap = Clamped(doc, "fps_cap", config.fps_cap, int32_t{30}, int32_t{240}, notes);
  config.render_scale = Clamped(doc, "render_scale", config.render_scale, 0.0f, 1.0f, notes);
  // A boolean key of another type keeps its value, as every other key does.
  ReadBool(doc, "hard_cut_beat", config.hard_cut_beat);
  ReadBool(doc, "fullscreen", config.fullscreen);
  return true;
}

VisConfig LoadVisConfig(const std::string& path, std::string& notes) {
  VisConfig config = DefaultVisConfig();
  std::ifstream in(path, std::ios::binary);
  if (!in) return config;
  std::ostringstream text;
  text << in.rdbuf();
  // On failure nothing was read into `config`, so the defaults stay and the error is the note.
  ParseVisConfig(text.str(), config, notes);
  return config;
}

std::string VisUsage(const std::string& program) {
  std::string text = "Usage: " + program + " [options]\n\n";
  text +=
      "The Halvex visualizer: MilkDrop preset visuals driven by the daemon's processed output.\n\n";
  text += "Options:\n";
  text += "  --config PATH   configuration file (default " + DefaultVisConfigPath() + ")\n";
  text += "  --fullscreen    start fullscreen\n";
  text += "  -h, --help      this text\n\n";
  text +=
      "Keys: Alt+Enter or F fullscreen, Space or N next preset, P previous,\n"
      "      L locks the current preset, Esc quits.\n\n";
  text +=
      "Environment: HALVEX_VIS_GPU selects a GPU by name substring,\n"
      "             HALVEX_VIS_VALIDATE=1 enables Vulkan validation.\n\n";
  text += std::string(kProductName) + " by " + kMakerName + "\n" + kProjectPage + "\n";
  return text;
}

bool ParseVisArguments(const std::vector<std::string>& args, VisOptions& options,
                       std::string& message) {
  const std::string program = args.empty() ? "halvex-vis" : args[0];
  options = VisOptions{};
  options.config_path = DefaultVisConfigPath();
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      message = VisUsage(program);
      return false;
    }
    if (arg == "--version") {
      options.version = true;
      return true;
    }
    if (arg == "--fullscreen") {
      options.fullscreen = true;
    } else if (arg == "--config" && i + 1 < args.size()) {
      options.config_path = args[++i];
    } else {
      message = "error: unrecognised argument: " + arg + "\n" + VisUsage(program);
      return false;
    }
  }
  return true;
}

}  // namespace halvex::vis
