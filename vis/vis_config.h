// The visualizer's own settings (vis.json) and its command line. Out-of-range values are clamped
// with a note instead of rejected: a slightly wrong file should still give pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "core/about.h"  // the product strings of the usage text, title and opening card

namespace halvex::vis {

// Largest accepted vis.json, in bytes.
inline constexpr std::size_t kMaxVisConfigBytes = 1048576;

struct VisConfig {
  std::string preset_dir;
  std::string node_target = "halvex_dsp";
  float preset_time = 25.0f;  // seconds on one preset before the timer switches
  float blend_time = 2.7f;    // seconds of a soft switch between presets; 0 cuts
  // Size of the feedback chain as a share of the window's; 0 lets the renderer choose
  // (smaller on a software renderer, where every pixel costs CPU time).
  float render_scale = 0.0f;
  bool hard_cut_beat = true;  // a strong beat may switch presets early
  uint64_t mesh_x = 48;       // warp mesh columns
  uint64_t mesh_y = 36;       // warp mesh rows
  int32_t fps_cap = 60;
  bool fullscreen = false;
};

// Defaults; preset_dir from XDG_DATA_HOME (if set at all) or HOME (or ".").
VisConfig DefaultVisConfig();
// $XDG_CONFIG_HOME/halvex/vis.json when XDG_CONFIG_HOME is set, else $HOME/.config/halvex/vis.json.
std::string DefaultVisConfigPath();

// Reads `text` over `config` (its values are the fall-backs) and appends one
// "KEY clamped to range; " piece to `notes` per clamped key. False on an oversized, malformed or
// non-object text: `notes` is replaced by the error and `config` is untouched.
bool ParseVisConfig(const std::string& text, VisConfig& config, std::string& notes);
// The file at `path` over the defaults. A missing file gives the defaults and no note; a file
// that does not parse gives the defaults and its error in `notes`.
VisConfig LoadVisConfig(const std::string& path, std::string& notes);

// The number at `key` clamped to [low, high]; `fallback` when absent or not a number. A clamp
// appends its note.
float Clamped(const nlohmann::json& object, const char* key, float fallback, float low, float high,
              std::string& notes);
// As above for an unsigned count: a fraction is truncated toward zero, and a negative value wraps
// to a very large one (so it clamps to `high`).
uint64_t Clamped(const nlohmann::json& object, const char* key, uint64_t fallback, uint64_t low,
                 uint64_t high, std::string& notes);
// As above for a signed integer (a fraction truncated toward zero).
int32_t Clamped(const nlohmann::json& object, const char* key, int32_t fallback, int32_t low,
                int32_t high, std::string& notes);

// What the command line asks for.
struct VisOptions {
  std::string config_path;  // DefaultVisConfigPath() unless --config names one
  bool fullscreen = false;  // --fullscreen: overrides the file
  bool version = false;     // --version: say it and exit
};

// The usage text for `program` (argv[0]).
std::string VisUsage(const std::string& program);
// True: run with `options` (or only say the version when it is set). False: print `message`
// (usage, after an error line when an argument was not understood) to standard error and exit
// with status 1.
bool ParseVisArguments(const std::vector<std::string>& args, VisOptions& options,
                       std::string& message);

}  // namespace halvex::vis
