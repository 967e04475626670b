// The visualizer's per-frame work on one core: the per-vertex program, the whole mesh
// evaluation at the default and the largest grid, the audio analysis, and the most custom
// waves and shapes may cost, and the host's stretch of a software device's picture to the
// window.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/custom_scene.h"
#include "vis/eel.h"
#include "vis/mesh.h"
#include "vis/picture_stretch.h"
#include "vis/ring.h"
#include "vis/visualizer.h"

namespace halvex::vis {
namespace {

// Per-frame and per-vertex code of the size and mix our presets use.
Preset TypicalPreset() {
  Preset p;
  p.per_frame =
      "phase = phase + 0.01 + 0.02*bass_att; zoom = 1.015 + 0.02*sin(phase);"
      "rot = 0.01*sin(time*0.3); warp = 0.8 + 0.2*cos(time*0.21); wave_g = 0.5 + 0.2*cos(time*0.7);"
      "dx = 0.002*sin(time*0.5); dy = 0.002*cos(time*0.23);";
  p.per_pixel =
      "zoom = zoom + 0.04*rad*(bass - 1) - 0.01*sqr(y - 0.5);"
      "rot = rot + 0.01*sin(ang*2 + time) + 0.02*(0.5 - rad);"
      "dx = dx + 0.002*sin(y*13 + time);";
  return p;
}

AudioFeatures Features() {
  AudioFeatures f;
  f.bass = 1.3f;
  f.bass_att = 1.1f;
  return f;
}

void BM_ProgramRun(benchmark::State& state) {
  MeshEvaluator e;
  std::string error;
  if (!e.Load(TypicalPreset(), error)) state.SkipWithError(error.c_str());
  VariableTable table = e.table();
  Program program;
  program.Compile(TypicalPreset().per_pixel, table);
  std::vector<double> vars(table.size(), 0.5);
  for (auto _ : state) {
    program.Run(vars);
    benchmark::DoNotOptimize(vars.data());
  }
  state.counters["instructions"] = static_cast<double>(program.instructions().size());
}
BENCHMARK(BM_ProgramRun);

void BM_MeshEvaluate(benchmark::State& state) {
  MeshEvaluator e;
  e.SetGrid(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
  std::string error;
  if (!e.Load(TypicalPreset(), error)) state.SkipWithError(error.c_str());
  const AudioFeatures f = Features();
  double t = 0.0;
  int64_t frame = 0;
  for (auto _ : state) {
    e.Evaluate(f, t, frame++, 16.0f / 9.0f);
    t += 1.0 / 60.0;
    benchmark::DoNotOptimize(e.mesh().data());
  }
  state.counters["ns_per_vertex"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * state.range(0) * state.range(1) * 1e-9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MeshEvaluate)->Args({48, 36})->Args({96, 96})->Unit(benchmark::kMicrosecond);

std::vector<StereoFrame> Music(size_t n) {
  std::vector<StereoFrame> frames(n);
  uint32_t seed = 9;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    const float tone = std::sin(0.05f * static_cast<float>(i));
    frames[i] = {0.4f * tone + 0.1f * noise, 0.4f * tone - 0.1f * noise};
  }
  return frames;
}

// A ring holding 4096 frames of Music and an analyzer ready to read it.
struct MusicFeed {
  MusicFeed() {
    const std::vector<StereoFrame> frames = Music(4096);
    ring.Write(frames.data(), frames.size());
    analyzer.Configure(48000);
  }
  AudioFeatures Analyse() { return analyzer.Analyse(ring); }

  AudioRing ring;
  Analyzer analyzer;
};

void BM_AnalyzerAnalyse(benchmark::State& state) {
  MusicFeed feed;
  for (auto _ : state) {
    AudioFeatures f = feed.Analyse();
    benchmark::DoNotOptimize(f.spectrum.data());
  }
}
BENCHMARK(BM_AnalyzerAnalyse)->Unit(benchmark::kMicrosecond);

// Everything the render thread does for one frame before drawing, at the largest grid.
void BM_WholeFrame96(benchmark::State& state) {
  MusicFeed feed;
  Visualizer v;
  VisualizerSettings s;
  s.preset_dir = std::string(HALVEX_SOURCE_DIR) + "/vis/presets";
  s.fallback_dirs = {};
  s.mesh_x = 96;
  s.mesh_y = 96;
  s.preset_time = 300.0f;
  v.Configure(s);
  double t = 0.0;
  for (auto _ : state) {
    const AudioFeatures f = feed.Analyse();
    v.Advance(f, t, 16.0f / 9.0f);
    benchmark::DoNotOptimize(v.Constants());
    t += 1.0 / 60.0;
  }
  state.SetLabel(v.current_name());
}
BENCHMARK(BM_WholeFrame96)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace halvex::vis

namespace halvex::vis {
namespace {

// The most a preset's custom drawing may cost a frame: four waves at the per-point budget
// (long per-point code, so fewer points) and four 100-sided shapes with outlines.
void BM_CustomSceneWorstCase(benchmark::State& state) {
  Preset p;
  std::string code = "x = sample";
  for (int i = 0; i < 400; ++i) code += " + 0.001*sin(value1*" + std::to_string(i) + ")";
  code += "; y = 0.5 + value2;";
  for (size_t n = 0; n < kCustomSlots; ++n) {
    p.waves[n].enabled = true;
    p.waves[n].per_point = code;
    p.shapes[n].enabled = true;
    p.shapes[n].sides = kMaxShapeSides;
    p.shapes[n].border_a = 1.0f;
    p.shapes[n].per_frame = "ang = time; rad = 0.2 + 0.1*sin(time);";
  }
  CustomScene scene;
  std::string error;
  std::vector<std::string> notes;
  if (!scene.Load(p, error, notes)) state.SkipWithError(error.c_str());
  CustomDraws draws;
  AudioFeatures features;
  CustomFrame frame;
  for (auto _ : state) {
    draws.Clear();
    frame.time += 1.0 / 60.0;
    scene.Draw(frame, features, 1.0f, draws);
    benchmark::DoNotOptimize(draws.lines.data());
  }
  state.counters["points"] = static_cast<double>(draws.lines.size());
}
BENCHMARK(BM_CustomSceneWorstCase)->Unit(benchmark::kMicrosecond);

// The software device's picture at the automatic scale (and at full size, a copy) stretched to
// a 1280x720 window; items are output pixels.
void BM_PictureStretch(benchmark::State& state) {
  const auto from_width = static_cast<uint32_t>(state.range(0));
  const auto from_height = static_cast<uint32_t>(state.range(1));
  std::vector<uint8_t> from(std::size_t{from_width} * from_height * 4);
  for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<uint8_t>(i * 37 >> 3);
  std::vector<uint8_t> to(1280 * 720 * 4);
  PictureStretch stretch;
  stretch.Configure(from_width, from_height, 1280, 720);
  for (auto _ : state) {
    stretch.Run(from.data(), std::size_t{from_width} * 4, to.data(), 1280 * 4);
    benchmark::DoNotOptimize(to.data());
  }
  state.SetItemsProcessed(state.iterations() * 1280 * 720);
}
BENCHMARK(BM_PictureStretch)->Args({480, 270})->Args({1280, 720})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace halvex::vis
