// libFuzzer target for the expression compiler and evaluator: any text compiles or fails with
// one message and an empty program, and running what compiled never crashes or hangs, through
// the checked, the fast and the batched interpreter alike; as a custom wave's point code and
// a custom shape's frame code it draws only finite vertices.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/require.h"
#include "vis/custom_scene.h"
#include "vis/eel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex::vis;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  VariableTable table;
  Program program;
  const CompileResult result = program.Compile(text, table);
  if (!result.ok) {
    Require(!result.error.empty());
    Require(program.empty());
    return 0;
  }
  std::vector<double> vars(table.size(), 0.5);
  program.Run(vars);
  std::vector<double> again(table.size(), 0.5);
  program.Run(again);
  // Runs are deterministic (rand restarts); NaN compares unequal, so compare bit patterns.
  for (size_t i = 0; i < vars.size(); ++i) {
    Require(std::memcmp(&vars[i], &again[i], sizeof(double)) == 0);
  }
  std::vector<double> short_vars(table.size() / 2, 0.5);  // slots beyond the vector
  program.Run(short_vars);

  if (program.batchable()) {
    constexpr size_t N = Program::kBatchSize;
    std::vector<double> lanes(table.size() * N, 0.5);
    std::vector<uint8_t> is_lane(table.size(), 1);
    std::vector<double> scalars(table.size(), 0.5);
    std::vector<double> stack(Program::kStackSize * N);
    Program::Batch batch{3, lanes.data(), is_lane.data(), scalars.data(), stack.data()};
    Require(program.RunBatch(batch));
    for (size_t s = 0; s < table.size(); ++s) {
      Require(std::memcmp(&lanes[s * N + 2], &vars[s], sizeof(double)) == 0);
    }
  }

  Preset preset;
  preset.waves[0].enabled = true;
  preset.waves[0].per_point = std::string(text);
  preset.shapes[0].enabled = true;
  preset.shapes[0].per_frame = std::string(text);
  CustomScene scene;
  std::string error;
  std::vector<std::string> notes;
  Require(scene.Load(preset, error, notes));
  CustomDraws draws;
  scene.Draw(CustomFrame{}, AudioFeatures{}, 1.0f, draws);
  for (const DrawVertex& v : draws.lines) Require(v.x == v.x && v.y == v.y && v.a == v.a);
  for (const ShapeVertex& v : draws.shapes) Require(v.x == v.x && v.u == v.u && v.a == v.a);
  return 0;
}
