// libFuzzer target for preset files: any text parses or is refused without touching the
// preset, and a parsed preset loads or fails with one message, then evaluates a small mesh and
// draws its custom waves and shapes within their bounds, with no NaN reaching a vertex.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/require.h"
#include "vis/custom_scene.h"
#include "vis/mesh.h"
#include "vis/preset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex::vis;
  const std::string text(reinterpret_cast<const char*>(data), size);
  Preset preset;
  preset.name = "untouched";
  if (!ParsePreset(text, "fuzz", preset)) {
    Require(preset.name == "untouched");
    return 0;
  }
  Require(preset.name == "fuzz");
  MeshEvaluator evaluator;
  evaluator.SetGrid(8, 8);
  std::string error;
  if (!evaluator.Load(preset, error)) {
    Require(!error.empty());
    return 0;
  }
  AudioFeatures features;
  features.bass = 1.5f;
  evaluator.Evaluate(features, 1.25, 3, 1.5f);
  evaluator.Evaluate(features, 1.5, 4, 0.0f);
  Require(evaluator.mesh().size() == 64);

  CustomScene scene;
  std::vector<std::string> notes;
  if (!scene.Load(preset, error, notes)) {
    Require(!error.empty());
    return 0;
  }
  CustomFrame frame;
  frame.q = evaluator.q();
  frame.aspect = 1.5f;
  CustomDraws draws;
  for (int i = 0; i < 2; ++i) {
    draws.Clear();
    scene.Draw(frame, features, 1.0f, draws);
  }
  Require(draws.lines.size() <= kCustomSlots * (kMaxWaveSamples + kMaxShapeSides + 1));
  Require(draws.shapes.size() <= kCustomSlots * 3 * kMaxShapeSides);
  for (const DrawVertex& v : draws.lines) {
    Require(!std::isnan(v.x) && !std::isnan(v.y) && !std::isnan(v.r) && !std::isnan(v.a));
  }
  for (const ShapeVertex& v : draws.shapes) {
    Require(!std::isnan(v.x) && !std::isnan(v.u) && !std::isnan(v.g) && !std::isnan(v.a));
  }
  return 0;
}
