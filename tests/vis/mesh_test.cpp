#include "vis/mesh.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace halvex::vis {
namespace {

MeshEvaluator Loaded(const std::string& per_frame, const std::string& per_pixel,
                     const PresetParams& params = {}) {
  Preset preset;
  static_cast<PresetParams&>(preset) = params;
  preset.per_frame = per_frame;
  preset.per_pixel = per_pixel;
  MeshEvaluator e;
  e.SetGrid(9, 9);
  std::string error;
  EXPECT_TRUE(e.Load(preset, error)) << error;
  return e;
}

PresetParams Still() {
  PresetParams p;
  p.warp = 0.0f;
  return p;
}

struct MotionCase {
  const char* name;
  const char* per_frame;
  float aspect;
  float x, y;  // vertex
  float u, v;  // expected texture coordinate
};

TEST(MeshEvaluator, SamplesThePreviousFrameWhereTheMotionSays) {
  const MotionCase cases[] = {
      {"identity", "", 1.0f, 0.25f, 0.75f, 0.25f, 0.75f},
      {"identity on a wide window", "", 16.0f / 9.0f, 0.125f, 1.0f, 0.125f, 1.0f},
      {"zoom 2 fetches nearer the centre", "zoom = 2", 1.0f, 1.0f, 0.5f, 0.75f, 0.5f},
      {"zoom 0 draws as zoom 1", "zoom = 0", 1.0f, 1.0f, 0.0f, 1.0f, 0.0f},
      {"dx moves the picture right", "dx = 0.1", 1.0f, 0.5f, 0.5f, 0.4f, 0.5f},
      {"dy is scaled by the aspect", "dy = 0.1", 2.0f, 0.5f, 0.5f, 0.5f, 0.3f},
      {"stretch x halves the fetch", "sx = 2", 1.0f, 1.0f, 1.0f, 0.75f, 1.0f},
      {"stretch 0 counts as none", "sx = 0; sy = 0", 1.0f, 1.0f, 0.0f, 1.0f, 0.0f},
      {"quarter turn", "rot = 1.5707963267948966", 1.0f, 1.0f, 0.5f, 0.5f, 1.0f},
      {"quarter turn stays circular when wide", "rot = 1.5707963267948966", 2.0f, 1.0f, 0.5f, 0.5f,
       1.5f},
      {"centre moved", "zoom = 2; cx = 0; cy = 0", 1.0f, 1.0f, 1.0f, 0.5f, 0.5f},
      {"aspect 0 divides by 0.001", "rot = 1.5707963267948966", 0.0f, 0.5f, 0.5009765625f,
       -0.4765625f, 0.5f},
  };
  for (const MotionCase& c : cases) {
    MeshEvaluator e = Loaded(c.per_frame, "", Still());
    e.Evaluate(AudioFeatures{}, 0.0, 0, c.aspect);
    const MeshVertex m = e.EvaluateVertex(c.x, c.y, c.aspect);
    EXPECT_NEAR(m.u, c.u, 1e-5) << c.name;
    EXPECT_NEAR(m.v, c.v, 1e-5) << c.name;
    EXPECT_EQ(m.x, c.x);
    EXPECT_EQ(m.y, c.y);
  }
}

TEST(MeshEvaluator, TheGridAgreesWithSingleVertexEvaluation) {
  // Cached per-point values and warp tables must give what a direct evaluation gives.
  MeshEvaluator e = Loaded("zoom = 1.05; rot = 0.1; cx = 0.4; warp = 1.3",
                           "zoom = zoom + 0.1*rad*sin(ang*3); rot = rot + 0.02*x");
  e.SetGrid(17, 12);
  e.Evaluate(AudioFeatures{}, 12.5, 7, 1.6f);
  const std::vector<MeshVertex> mesh = e.mesh();
  ASSERT_EQ(mesh.size(), 17u * 12u);
  for (size_t j = 0; j < 12; ++j) {
    for (size_t i = 0; i < 17; ++i) {
      const MeshVertex direct = e.EvaluateVertex(i / 16.0f, j / 11.0f, 1.6f);
      EXPECT_EQ(mesh[j * 17 + i].u, direct.u) << i << "," << j;
      EXPECT_EQ(mesh[j * 17 + i].v, direct.v) << i << "," << j;
    }
  }
  // A vertex program that changes the time variable gets its own warp terms.
  MeshEvaluator t = Loaded("warp = 2", "time = time + x");
  t.Evaluate(AudioFeatures{}, 3.0, 0, 1.0f);
  const MeshVertex last = t.mesh().back();
  const MeshVertex direct = t.EvaluateVertex(1.0f, 1.0f, 1.0f);
  EXPECT_EQ(last.u, direct.u);
  EXPECT_EQ(last.v, direct.v);
}

TEST(MeshEvaluator, WarpDisplacesByTheDocumentedTerms) {
  MeshEvaluator e = Loaded("warp = 2", "", Still());
  e.Evaluate(AudioFeatures{}, 1.0, 0, 1.0f);
  const MeshVertex m = e.EvaluateVertex(0.25f, 0.5f, 1.0f);
  const double bx =
      static_cast<float>(0.0035 * (std::sin(13 * 0.25 + 0.33) + std::cos(7 * 0.5 - 0.21)));
  const double by =
      static_cast<float>(0.0035 * (std::sin(13 * 0.5 + 0.33) + std::cos(7 * 0.25 - 0.21)));
  EXPECT_FLOAT_EQ(m.u, static_cast<float>(0.25 + 2 * bx));
  EXPECT_FLOAT_EQ(m.v, static_cast<float>(0.5 + 2 * by));
}

TEST(MeshEvaluator, ClampsTheGrid) {
  MeshEvaluator e;
  e.SetGrid(4, 200);
  EXPECT_EQ(e.columns(), 8u);
  EXPECT_EQ(e.rows(), 96u);
}

TEST(MeshEvaluator, PassesFrameVariablesToVerticesAndForgetsVertexChanges) {
  MeshEvaluator e =
      Loaded("shared = shared + 1; frames = frame", "local = local + 1; seen = shared + local");
  AudioFeatures f;
  f.bass = 2.0f;
  e.Evaluate(f, 0.5, 3, 1.0f);
  e.Evaluate(f, 0.6, 4, 1.0f);
  const auto value = [&](const char* name) { return e.vars()[e.table().Find(name)]; };
  EXPECT_DOUBLE_EQ(value("shared"), 2);  // the per-frame program's changes persist
  EXPECT_DOUBLE_EQ(value("local"), 0);   // the per-vertex program's do not
  EXPECT_DOUBLE_EQ(value("frames"), 4);
  EXPECT_DOUBLE_EQ(value("bass"), 2);
  EXPECT_DOUBLE_EQ(value("fps"), 60);
  // Every vertex saw local = 1 (restored each time) and the frame's shared value.
  const MeshVertex m = e.EvaluateVertex(0.5f, 0.5f, 1.0f);
  (void)m;
  EXPECT_DOUBLE_EQ(value("seen"), 3);
}

TEST(MeshEvaluator, ReadsTheFrameStateAfterThePerFrameProgram) {
  PresetParams p;
  p.invert = true;
  p.additive_waves = true;
  MeshEvaluator e =
      Loaded("decay = 0.5; wave_mode = 3.7; echo_orient = -2.5; wave_r = 0.25", "", p);
  e.Evaluate(AudioFeatures{}, 0.0, 0, 1.0f);
  const FrameState& s = e.frame_state();
  EXPECT_FLOAT_EQ(s.decay, 0.5f);
  EXPECT_EQ(s.wave_mode, 3);
  EXPECT_EQ(s.echo_orientation, -2);
  EXPECT_FLOAT_EQ(s.wave_r, 0.25f);
  EXPECT_FLOAT_EQ(s.gamma, 1.0f);
  EXPECT_TRUE(s.invert);
  EXPECT_TRUE(s.additive_waves);
  EXPECT_FALSE(s.darken);
}

TEST(MeshEvaluator, LoadsWithNotesAndFailsOnTheFirstBrokenProgram) {
  Preset preset;
  preset.per_pixel = "x = megabuf(3);";
  preset.notes = {"from the file"};
  MeshEvaluator e;
  std::string error;
  ASSERT_TRUE(e.Load(preset, error)) << error;
  EXPECT_EQ(e.notes(),
            (std::vector<std::string>{"from the file", "unsupported construct: megabuf"}));
  // Bound names take the first slots in binding order.
  for (size_t i = 0; i < MeshEvaluator::kBoundCount; ++i) {
    EXPECT_EQ(e.table().Find(MeshEvaluator::kBoundNames[i]), i);
  }

  preset.per_frame_init = "a = (1";
  preset.per_frame = "b = max(1";
  EXPECT_FALSE(e.Load(preset, error));
  EXPECT_EQ(error, "missing )");
  preset.per_frame_init = "";
  EXPECT_FALSE(e.Load(preset, error));
  EXPECT_EQ(error, "missing ) in call to max");
}

TEST(MeshEvaluator, RunsTheInitProgramOnceBeforeTheSeeds) {
  Preset preset;
  preset.per_frame_init = "start = zoom + 5; count = count + 1";
  preset.per_frame = "count = count + 1";
  MeshEvaluator e;
  std::string error;
  ASSERT_TRUE(e.Load(preset, error));
  EXPECT_DOUBLE_EQ(e.vars()[e.table().Find("start")], 5);  // zoom read 0
  e.Evaluate(AudioFeatures{}, 0, 0, 1);
  e.Evaluate(AudioFeatures{}, 0, 1, 1);
  EXPECT_DOUBLE_EQ(e.vars()[e.table().Find("count")], 3);
}

}  // namespace
}  // namespace halvex::vis
