#include "vis/visualizer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <system_error>

namespace halvex::vis {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr size_t kWavePoints = AudioFeatures::kWaveSize;

// std::clamp passes NaN through; a NaN that reaches the feedback image never fades out, so
// these map it to the low end.
float Clamp(float value, float low, float high) {
  if (std::isnan(value)) return low;
  return std::min(std::max(value, low), high);
}
float NotNan(float value) { return std::isnan(value) ? 0.0f : value; }

std::string ReadPresetFile(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxPresetBytes) return "";
  std::ifstream in(path, std::ios::binary);
  // Never more than the limit, even if the file grew since it was measured.
  std::string text(kMaxPresetBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return text;
}

}  // namespace

std::vector<std::string> VisualizerSettings::InstalledPresetDirs() {
  std::vector<std::string> dirs;
  const char* env = std::getenv("XDG_DATA_DIRS");
  const std::string list = env != nullptr && *env != '\0' ? env : "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) dirs.push_back(list.substr(start, end - start) + "/halvex/presets");
    start = end + 1;
  }
#ifdef HALVEX_INSTALL_DATADIR
  const std::string installed = std::string(HALVEX_INSTALL_DATADIR) + "/halvex/presets";
  if (std::find(dirs.begin(), dirs.end(), installed) == dirs.end()) dirs.push_back(installed);
#endif
  return dirs;
}

Preset BuiltInPreset() {
  Preset preset;
  preset.name = "built-in";
  preset.per_frame =
      "zoom = 1.01 + 0.02*bass_att; rot = 0.008*sin(time*0.3); warp = 0.6;decay = 0.96; "
      "wave_r = 0.5 + 0.5*sin(time*0.5);wave_g = 0.5 + 0.5*sin(time*0.37 + 2); "
      "wave_b = 0.5 + 0.5*sin(time*0.23 + 4);";
  preset.per_pixel = "zoom = zoom + 0.03*rad*bass;";
  return preset;
}

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
  library_.clear();
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::filesystem::path& path = it->path();
    std::error_code type_error;
    if (!std::filesystem::is_regular_file(path, type_error)) continue;  // follows links
    if (path.extension() != ".milk") continue;
    library_.push_back(PresetEntry{path.string(), path.stem().string()});
  }
  std::sort(library_.begin(), library_.end(),
            [](const PresetEntry& a, const PresetEntry& b) { return a.name < b.name; });
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
  const size_t n = library_.size();
  soft_switch_ = !hard_switch_;
  for (size_t k = 1; k <= n; ++k) {
    if (LoadIndex((current_index_ + k) % n)) break;
  }
  soft_switch_ = false;
}

void Visualizer::Previous() {
  const size_t n = library_.size();
  soft_switch_ = true;
  for (size_t k = 1; k <= n; ++k) {
    if (LoadIndex((current_index_ % n + n - k) % n)) break;
  }
  soft_switch_ = false;
}

void Visualizer::StepForward() { Next(); }

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
  const double shown = time_ - last_switch_;
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
  BuildWaveFrom(outgoing_.frame_state(), features, fade);
  if (waves_.size() > 1) {
    DrawBatch batch;
    batch.additive = outgoing_.frame_state().additive_waves;
    batch.first = static_cast<uint32_t>(draws_.lines.size());
    batch.count = static_cast<uint32_t>(waves_.size());
    draws_.lines.insert(draws_.lines.end(), waves_.begin(), waves_.end());
    draws_.batches.push_back(batch);
  }
}

void Visualizer::MaybeCycle(const AudioFeatures& features, double t) {
  if (locked_ || library_.size() < 2) return;
  const double elapsed = t - last_switch_;
  bool beat_switch = settings_.hard_cut_beat && features.beat &&
                     features.bass > kBeatSwitchBass && t - last_beat_switch_ >= kBeatSwitchGap &&
                     elapsed >= kBeatSwitchGap;
  if (beat_switch) {
    last_beat_switch_ = t;
  } else if (!(elapsed >= settings_.preset_time)) {
    return;
  }
  last_switch_ = t;
  hard_switch_ = beat_switch;  // a beat cuts; the timer blends
  StepForward();
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
  BuildWaveFrom(evaluator_.frame_state(), features, blend_weight());
}

void Visualizer::BuildWaveFrom(const FrameState& s, const AudioFeatures& features, float fade) {
  wave_r_ = s.wave_r;
  wave_g_ = s.wave_g;
  wave_b_ = s.wave_b;
  wave_a_ = s.wave_a * fade;
  waves_.clear();
  waves_.reserve(kWaveReserve);
  const int mode = s.wave_mode >= 0 ? s.wave_mode % 7 : 0;
  wave_state_ = &s;
  AppendWave(mode, features, time_);
  wave_state_ = nullptr;
}

void Visualizer::Emit(float x, float y, float s) {
  // Colours are kept finite and in range: the waves are drawn into the feedback image.
  waves_.push_back(DrawVertex{Clamp(x, -1.0f, 1.0f), Clamp(y, -1.0f, 1.0f),
                              Clamp(wave_r_, 0.0f, 1.0f), Clamp(wave_g_, 0.0f, 1.0f),
                              Clamp(wave_b_, 0.0f, 1.0f), Clamp(s * wave_a_, 0.0f, 1.0f)});
}

void Visualizer::AppendWave(int mode, const AudioFeatures& f, double time) {
  const FrameState& s = wave_state_ != nullptr ? *wave_state_ : evaluator_.frame_state();
  const double cx = 2.0 * s.wave_x - 1.0;
  const double cy = 2.0 * s.wave_y - 1.0;
  const auto& L = f.wave_left;
  const auto& R = f.wave_right;
  const auto& S = f.spectrum;
  const auto polar = [&](double r, double theta, float alpha) {
    Emit(static_cast<float>(cx + r * std::cos(theta)), static_cast<float>(cy + r * std::sin(theta)),
         alpha);
  };
  constexpr double kLast = kWavePoints - 1;
  switch (mode) {
    case 0:  // closed circle
      for (size_t i = 0; i <= kWavePoints; ++i) {
        const double theta = 2.0 * kPi * static_cast<double>(i) / kWavePoints;
        polar(0.25 * L[i % kWavePoints] + 0.4, theta, 1.0f);
      }
      break;
    case 1:  // X-Y scope
      for (size_t i = 0; i < kWavePoints; ++i) {
        Emit(static_cast<float>(cx + 0.6 * L[i]), static_cast<float>(cy + 0.6 * R[i]), 1.0f);
      }
      break;
    case 2:  // horizontal line
      for (size_t i = 0; i < kWavePoints; ++i) {
        Emit(static_cast<float>(i / kLast * 1.6 - 0.8 + 0.1 * cx),
             static_cast<float>(cy + 0.4 * (L[i] + R[i])), 1.0f);
      }
      break;
    case 3: {  // two channel lines, the centre ignored
      for (size_t i = 0; i < kWavePoints; ++i) {
        Emit(static_cast<float>(i / kLast * 1.8 - 0.9), static_cast<float>(0.35 * L[i] + 0.35),
             1.0f);
      }
      const DrawVertex last = waves_.back();
      Emit(last.x, last.y, 0.0f);
      for (size_t i = 0; i < kWavePoints; ++i) {
        Emit(static_cast<float>(0.9 - i / kLast * 1.8), static_cast<float>(0.35 * R[i] - 0.35),
             1.0f);
      }
      break;
    }
    case 4: {  // spiral
      const double phase = 0.2 * time;
      for (size_t i = 0; i < kWavePoints; ++i) {
        const double u = i / kLast;
        polar(0.08 + 0.5 * u + 0.12 * L[i], 4.0 * kPi * u + phase, 1.0f);
      }
      break;
    }
    case 5:  // spectrum arc over the upper half circle
      for (size_t k = 0; k <= 510; k += 2) {
        const double theta = (k / 511.0 + 1.0) * kPi;
        polar(0.45 * std::min(8.0 * S[k], 1.0) + 0.3, theta, 1.0f);
      }
      break;
    case 6:  // radial spectrum bars, each its own stroke
      for (size_t b = 0; b < 64; ++b) {
        const double theta = 2.0 * kPi * static_cast<double>(b) / 64.0;
        const double length = std::min(10.0 * S[8 * b], 0.7) + 0.18;
        polar(0.15, theta, 0.0f);
        polar(0.15, theta, 1.0f);
        polar(length, theta, 1.0f);
        polar(length, theta, 0.0f);
      }
      break;
    default:
      break;
  }
}

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
  c.decay = Clamp(s.decay, 0.0f, 1.0f);
  c.gamma = Clamp(s.gamma, 0.0f, 8.0f);
  c.echo_zoom = s.echo_zoom > 0.01f ? s.echo_zoom : 0.01f;
  c.echo_alpha = Clamp(s.echo_alpha, 0.0f, 1.0f);
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
