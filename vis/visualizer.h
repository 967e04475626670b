// The visualizer's per-frame brain: the preset library and its cycling, the evaluation of the
// current preset, the waveform line strip and the frame's shader constants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/custom_scene.h"
#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/preset.h"

namespace halvex::vis {

struct PresetEntry {
  std::string path;
  std::string name;  // file name without its extension
};

// The parts of the program's configuration that the Visualizer uses.
struct VisualizerSettings {
  std::string preset_dir;
  float preset_time = 25.0f;  // seconds between automatic switches
  bool hard_cut_beat = true;  // strong beats may switch early, with a hard cut
  float blend_time = 2.7f;    // seconds a switch by timer or key blends over; 0 cuts
  size_t mesh_x = 48;
  size_t mesh_y = 36;
  // Tried in order when preset_dir is missing or holds no preset.
  std::vector<std::string> fallback_dirs = InstalledPresetDirs();

  // The halvex/presets folders of XDG_DATA_DIRS (default /usr/local/share:/usr/share), then
  // the install prefix's.
  static std::vector<std::string> InstalledPresetDirs();
};

// The preset shown when no library preset loads.
Preset BuiltInPreset();

class Visualizer {
 public:
  static constexpr size_t kWaveReserve = 1160;  // the longest mode, 1153 points
  static constexpr double kBeatSwitchGap = 4.0;  // seconds
  static constexpr float kBeatSwitchBass = 1.8f;

  // Sizes the grid, scans the library (or its fallbacks) and loads entry 0 or the built-in.
  void Configure(const VisualizerSettings& settings);
  void ScanLibrary(const std::string& directory);
  // Loads library entry i at once (no blend); false when out of range, unreadable, too large,
  // unparsable or not compilable (the current preset then stays).
  bool LoadIndex(size_t i);
  // The next or previous loadable preset, blended in over blend_time.
  void Next();
  void Previous();
  void ToggleLock() { locked_ = !locked_; }
  void MaybeCycle(const AudioFeatures& features, double t);
  // One frame: cycling, evaluation at time t, the waveform, the custom waves and shapes. While
  // a blend runs, the outgoing preset evaluates too: the warp mesh and the frame constants are
  // interpolated and both presets' drawings are faded against each other.
  void Advance(const AudioFeatures& features, double t, float aspect);

  void BuildWave(const AudioFeatures& features);
  void AppendWave(int mode, const AudioFeatures& features, double time);
  void Emit(float x, float y, float alpha_scale);
  FrameConstants Constants() const;

  const std::vector<DrawVertex>& waves() const { return waves_; }
  // Custom waves and shapes of the frame (and the outgoing preset's main wave in a blend).
  const CustomDraws& custom_draws() const { return draws_; }
  const MeshEvaluator& evaluator() const { return evaluator_; }
  const std::vector<MeshVertex>& mesh() const {
    return blending_ ? blended_mesh_ : evaluator_.mesh();
  }
  // Share of the incoming preset in the picture: 1 outside a blend.
  float blend_weight() const { return blending_ ? weight_ : 1.0f; }
  bool blending() const { return blending_; }
  size_t columns() const { return evaluator_.columns(); }
  size_t rows() const { return evaluator_.rows(); }
  const std::vector<std::string>& notes() const { return evaluator_.notes(); }
  const std::string& current_name() const { return current_name_; }
  size_t current_index() const { return current_index_; }
  const std::vector<PresetEntry>& library() const { return library_; }
  size_t library_size() const { return library_.size(); }
  // The folder the library was read from: preset_dir, or the fallback that was used.
  const std::string& library_dir() const { return library_dir_; }
  bool locked() const { return locked_; }
  bool additive_waves() const { return evaluator_.frame_state().additive_waves; }
  uint32_t frame() const { return frame_; }

 private:
  void LoadBuiltIn();
  void StepForward();
  // Moves the preset on screen aside as the blend's outgoing one, unless `hard` or blends are
  // off or nothing was drawn yet.
  void BeginSwitch(bool hard);
  void Blend(const AudioFeatures& features, float aspect);
  // The main wave of the preset in state `s` into waves_, its alpha times `fade`.
  void BuildWaveFrom(const FrameState& s, const AudioFeatures& features, float fade);
  static FrameConstants ConstantsOf(const FrameState& s);
  CustomFrame FrameFor(const MeshEvaluator& evaluator, const AudioFeatures& features,
                       float aspect) const;

  VisualizerSettings settings_;
  MeshEvaluator evaluator_;
  CustomScene scene_;
  CustomDraws draws_;
  // The blend: the preset going out, where it started, the incoming share this frame.
  MeshEvaluator outgoing_;
  CustomScene outgoing_scene_;
  bool outgoing_additive_ = false;
  bool blending_ = false;
  bool hard_switch_ = false;  // the switch under way is a beat's cut
  bool soft_switch_ = false;  // the switch under way may blend (Next, Previous, the timer)
  double blend_start_ = 0.0;
  float weight_ = 1.0f;
  std::vector<MeshVertex> blended_mesh_;
  const FrameState* wave_state_ = nullptr;  // whose main wave AppendWave draws
  std::vector<PresetEntry> library_;
  std::string library_dir_;
  std::vector<DrawVertex> waves_;
  std::string current_name_ = "built-in";
  size_t current_index_ = 0;
  double last_switch_ = 0.0;
  double last_beat_switch_ = 0.0;
  bool locked_ = false;
  uint32_t frame_ = 0;
  float wave_r_ = 1.0f;
  float wave_g_ = 1.0f;
  float wave_b_ = 1.0f;
  float wave_a_ = 1.0f;
  double time_ = 0.0;
};

}  // namespace halvex::vis
