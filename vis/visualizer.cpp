#include "vis/visualizer.h"

#include <algorithm>
#include <cmath>

#include "vis/number_conversion.h"

namespace halvex::vis {

namespace {

float NotNan(float value) { return std::isnan(value) ? 0.0f : value; }

}  // namespace

void Visualizer::Configure(const VisualizerSettings& settings) {
  settings_ = settings;
  evaluator_.SetGrid(settings_.mesh_x, settings_.mesh_y);
  blending_ = false;
  // Room for two presets' worth of custom drawing (a blend) and the outgoing main wave, so
  // that frames never allocate.
  draws_.lines.reserve(2 * kCustomSlots * (kMaxWaveSamples + kMaxShapeSides + 1) + kWaveReserve);
  draws_.shapes.reserve(2 * kCustomSlots * 3 * kMaxShapeSides);
  draws_.batches.reserve(2 * 3 * kCustomSlots + 1);
  blended_mesh_.reserve(MeshEvaluator::kMaxGrid * MeshEvaluator::kMaxGrid);
  ScanLibrary(settings_.preset_dir);
  library_dir_ = settings_.preset_dir;
  if (library_.empty()) {
    for (const std::string& dir : settings_.fallback_dirs) {
      ScanLibrary(dir);
      if (!library_.empty()) {
        library_dir_ = dir;
        break;
      }
    }
  }
  if (!library_.empty() && LoadIndex(0)) return;
  LoadBuiltIn();
}

void Visualizer::LoadBuiltIn() {
  std::string ignored;
  MeshEvaluator fresh;
  fresh.SetGrid(evaluator_.columns(), evaluator_.rows());
  if (fresh.Load(BuiltInPreset(), ignored)) {
    evaluator_ = std::move(fresh);
    scene_ = CustomScene{};
  }
  blending_ = false;
  current_name_ = "built-in";
}

void Visualizer::ScanLibrary(const std::string& directory) {
  library_ = ScanPresetDir(directory);
}

bool Visualizer::LoadIndex(size_t i) {
  if (i >= library_.size()) return false;
  Preset preset;
  if (!ParsePreset(ReadPresetFile(library_[i].path), library_[i].name, preset)) return false;
  // Loaded aside, so a preset that does not compile leaves the current one running.
  std::string ignored;
  CustomScene scene;
  if (!scene.Load(preset, ignored, preset.notes)) return false;
  MeshEvaluator fresh;
  fresh.SetGrid(evaluator_.columns(), evaluator_.rows());
  if (!fresh.Load(preset, ignored)) return false;
  BeginSwitch(!soft_switch_);
  evaluator_ = std::move(fresh);
  scene_ = std::move(scene);
  current_index_ = i;
  current_name_ = preset.name;
  return true;
}

void Visualizer::Next() {
  soft_switch_ = !hard_switch_;
  StepThroughLibrary(library_.size(), current_index_, +1,
                     [this](size_t i) { return LoadIndex(i); });
  soft_switch_ = false;
}

void Visualizer::Previous() {
  soft_switch_ = true;
  StepThroughLibrary(library_.size(), current_index_, -1,
                     [this](size_t i) { return LoadIndex(i); });
  soft_switch_ = false;
}

void Visualizer::BeginSwitch(bool hard) {
  if (hard || !(settings_.blend_time > 0.0f) || frame_ == 0) {
    blending_ = false;
    return;
  }
  // A switch during a blend drops the older preset: the picture itself carries over in the
  // feedback image, and the motion goes on from the preset that was coming in.
  outgoing_ = std::move(evaluator_);
  outgoing_scene_ = std::move(scene_);
  blending_ = true;
  blend_start_ = time_;
  weight_ = 0.0f;
}

CustomFrame Visualizer::FrameFor(const MeshEvaluator& evaluator, const AudioFeatures& f,
                                 float aspect) const {
  CustomFrame frame;
  frame.time = time_;
  frame.frame = static_cast<double>(frame_);
  const double shown = time_ - cycle_.last_switch();
  frame.progress = std::clamp(shown / std::max(double{settings_.preset_time}, 1e-3), 0.0, 1.0);
  frame.levels = {f.bass, f.mid, f.treb, f.bass_att, f.mid_att, f.treb_att};
  frame.q = evaluator.q();
  frame.aspect = aspect;
  return frame;
}

void Visualizer::Blend(const AudioFeatures& features, float aspect) {
  if (time_ < blend_start_) blend_start_ = time_;  // the clock started again
  const double p = (time_ - blend_start_) / settings_.blend_time;
  if (!(p < 1.0)) {
    blending_ = false;
    return;
  }
  const float linear = static_cast<float>(std::max(p, 0.0));
  weight_ = linear * linear * (3.0f - 2.0f * linear);  // eases in and out
  outgoing_.Evaluate(features, time_, frame_, aspect);
  const std::vector<MeshVertex>& in = evaluator_.mesh();
  const std::vector<MeshVertex>& out = outgoing_.mesh();
  blended_mesh_.assign(in.begin(), in.end());
  if (out.size() == in.size()) {
    for (size_t i = 0; i < in.size(); ++i) {
      blended_mesh_[i].u = out[i].u + weight_ * (in[i].u - out[i].u);
      blended_mesh_[i].v = out[i].v + weight_ * (in[i].v - out[i].v);
    }
  }
  const float fade = 1.0f - weight_;
  outgoing_scene_.Draw(FrameFor(outgoing_, features, aspect), features, fade, draws_);
  // The outgoing main wave, as a custom line batch with its own blending.
  wave_.Build(outgoing_.frame_state(), features, time_, fade);
  const std::vector<DrawVertex>& waves = wave_.points();
  if (waves.size() > 1) {
    DrawBatch batch;
    batch.additive = outgoing_.frame_state().additive_waves;
    batch.first = static_cast<uint32_t>(draws_.lines.size());
    batch.count = static_cast<uint32_t>(waves.size());
    draws_.lines.insert(draws_.lines.end(), waves.begin(), waves.end());
    draws_.batches.push_back(batch);
  }
}

void Visualizer::MaybeCycle(const AudioFeatures& features, double t) {
  if (locked_ || library_.size() < 2) return;
  const CycleSwitch due =
      cycle_.Due(features, t, settings_.preset_time, settings_.hard_cut_beat);
  if (due == CycleSwitch::kNone) return;
  hard_switch_ = due == CycleSwitch::kBeat;  // a beat cuts; the timer blends
  Next();
  hard_switch_ = false;
}

void Visualizer::Advance(const AudioFeatures& features, double t, float aspect) {
  time_ = t;
  MaybeCycle(features, t);
  evaluator_.Evaluate(features, t, frame_, aspect);
  draws_.Clear();
  if (blending_) Blend(features, aspect);
  scene_.Draw(FrameFor(evaluator_, features, aspect), features, blend_weight(), draws_);
  ++frame_;
  BuildWave(features);
}

void Visualizer::BuildWave(const AudioFeatures& features) {
  wave_.Build(evaluator_.frame_state(), features, time_, blend_weight());
}

void Visualizer::AppendWave(int mode, const AudioFeatures& features, double time) {
  wave_.Append(mode, evaluator_.frame_state(), features, time);
}

void Visualizer::Emit(float x, float y, float alpha_scale) { wave_.Emit(x, y, alpha_scale); }

FrameConstants Visualizer::Constants() const {
  FrameConstants c = ConstantsOf(evaluator_.frame_state());
  if (!blending_) return c;
  // The numbers move with the blend; the on/off effects and echo flips switch half-way.
  const FrameConstants old = ConstantsOf(outgoing_.frame_state());
  const float w = weight_;
  const auto mix = [w](float from, float to) { return from + w * (to - from); };
  c.decay = mix(old.decay, c.decay);
  c.gamma = mix(old.gamma, c.gamma);
  c.echo_zoom = mix(old.echo_zoom, c.echo_zoom);
  c.echo_alpha = mix(old.echo_alpha, c.echo_alpha);
  if (w < 0.5f) {
    c.echo_flip_x = old.echo_flip_x;
    c.echo_flip_y = old.echo_flip_y;
    c.effects = old.effects;
  }
  return c;
}

FrameConstants Visualizer::ConstantsOf(const FrameState& s) {
  FrameConstants c;
  c.decay = ClampNanToLow(s.decay, 0.0f, 1.0f);
  c.gamma = ClampNanToLow(s.gamma, 0.0f, 8.0f);
  c.echo_zoom = s.echo_zoom > 0.01f ? s.echo_zoom : 0.01f;
  c.echo_alpha = ClampNanToLow(s.echo_alpha, 0.0f, 1.0f);
  c.echo_flip_x = (s.echo_orientation & 1) != 0 ? -1.0f : 1.0f;
  c.echo_flip_y = (s.echo_orientation & 2) != 0 ? -1.0f : 1.0f;
  c.reserved = 1.0f;
  c.effects = static_cast<float>((s.invert ? 1 : 0) + (s.brighten ? 2 : 0) + (s.darken ? 4 : 0) +
                                 (s.solarize ? 8 : 0));
  c.wave_r = NotNan(s.wave_r);
  c.wave_g = NotNan(s.wave_g);
  c.wave_b = NotNan(s.wave_b);
  c.wave_a = NotNan(s.wave_a);
  return c;
}

}  // namespace halvex::vis
