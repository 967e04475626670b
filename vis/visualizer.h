// The visualizer's per-frame brain: loads presets from the library as the cycle or the user
// asks, evaluates the current one (blending from the previous), and hands the renderer the
// mesh, the waveform, the custom drawings and the frame's shader constants.
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
#include "vis/preset_cycle.h"
#include "vis/preset_library.h"
#include "vis/waveform.h"

namespace halvex::vis {

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

  static std::vector<std::string> InstalledPresetDirs() { return vis::InstalledPresetDirs(); }
};

class Visualizer {
 public:
  static constexpr size_t kWaveReserve = Waveform::kReserve;
  static constexpr double kBeatSwitchGap = PresetCycle::kBeatSwitchGap;
  static constexpr float kBeatSwitchBass = PresetCycle::kBeatSwitchBass;

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

  // The current preset's main wave (what Advance draws last), and its pieces.
  void BuildWave(const AudioFeatures& features);
  void AppendWave(int mode, const AudioFeatures& features, double time);
  void Emit(float x, float y, float alpha_scale);
  FrameConstants Constants() const;

  const std::vector<DrawVertex>& waves() const { return wave_.points(); }
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
  // Moves the preset on screen aside as the blend's outgoing one, unless `hard` or blends are
  // off or nothing was drawn yet.
  void BeginSwitch(bool hard);
  void Blend(const AudioFeatures& features, float aspect);
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
  std::vector<PresetEntry> library_;
  std::string library_dir_;
  Waveform wave_;
  std::string current_name_ = "built-in";
  size_t current_index_ = 0;
  PresetCycle cycle_;
  bool locked_ = false;
  uint32_t frame_ = 0;
  double time_ = 0.0;
};

}  // namespace halvex::vis
