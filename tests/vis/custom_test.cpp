#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "vis/custom_scene.h"
#include "vis/preset.h"

namespace halvex::vis {
namespace {

Preset Parse(const std::string& text) {
  Preset preset;
  EXPECT_TRUE(ParsePreset(text, "test", preset));
  return preset;
}

// A frame whose waveform rises linearly from -0.5 to 0.5 on the left and stays at 0.25 on the
// right, so each point's value1 and value2 are known.
AudioFeatures Ramp() {
  AudioFeatures f;
  for (size_t i = 0; i < AudioFeatures::kWaveSize; ++i) {
    f.wave_left[i] = -0.5f + static_cast<float>(i) / (AudioFeatures::kWaveSize - 1);
    f.wave_right[i] = 0.25f;
  }
  return f;
}

// A frame whose preset code left q[i] = value.
CustomFrame WithQ(size_t i, double value) {
  CustomFrame frame;
  frame.q[i] = value;
  return frame;
}

CustomDraws Draw(const Preset& preset, CustomFrame frame = {}, int frames = 1) {
  CustomScene scene;
  std::string error;
  std::vector<std::string> notes;
  EXPECT_TRUE(scene.Load(preset, error, notes)) << error;
  CustomDraws draws;
  for (int i = 0; i < frames; ++i) {
    draws.Clear();
    scene.Draw(frame, Ramp(), 1.0f, draws);
  }
  return draws;
}

TEST(CustomParts, ReadsKeysAndCodeInLineOrderClampingCountsWithANote) {
  const Preset p = Parse(
      "wave_r=0.3\nper_frame_1=zoom=1\n"
      "wavecode_1_enabled=1\nwavecode_1_samples=900\nwavecode_1_bSpectrum=1\n"
      "wavecode_1_scaling=abc\nwavecode_1_r=2\nwavecode_1_smoothing=-1\n"
      "wave_1_per_point10=y=2\nwave_1_per_point9=x=1\nwave_1_per_frame1=r=q1\n"
      "shapecode_3_enabled=1\nshapecode_3_sides=0\nshapecode_3_rad=nan\nshape_3_init1=t1=4\n"
      "shapecode_4_enabled=1\nwave_7_per_frame1=a=1\n");
  EXPECT_EQ(p.wave_r, 0.3f);  // the main wave's keys are not a custom wave's
  EXPECT_EQ(p.per_frame, "zoom=1;");
  const CustomWaveSpec& w = p.waves[1];
  EXPECT_TRUE(w.enabled);
  EXPECT_FALSE(p.waves[0].enabled);
  EXPECT_EQ(w.samples, 512);
  EXPECT_TRUE(w.spectrum);
  EXPECT_EQ(w.scaling, 1.0f);  // not a number: the default stays
  EXPECT_EQ(w.r, 1.0f);
  EXPECT_EQ(w.smoothing, 0.0f);
  EXPECT_EQ(w.per_point, "x=1;\ny=2;");
  EXPECT_EQ(w.per_frame, "r=q1;");
  const CustomShapeSpec& s = p.shapes[3];
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.sides, 3);
  EXPECT_EQ(s.rad, 0.1f);
  EXPECT_EQ(s.init, "t1=4;");
  EXPECT_NE(std::find(p.notes.begin(), p.notes.end(), "wavecode_1_samples clamped to 512"),
            p.notes.end());
  EXPECT_NE(std::find(p.notes.begin(), p.notes.end(), "shapecode_3_sides clamped to 3"),
            p.notes.end());
}

TEST(CustomWave, ColouredOnlyThroughQ1AndPlacedFromTheAudioByDefault) {
  Preset p = Parse(
      "wavecode_0_enabled=1\nwavecode_0_samples=5\nwavecode_0_smoothing=0\n"
      "wavecode_0_r=0.9\nwavecode_0_g=0.9\nwavecode_0_b=0.9\n"
      "wave_0_per_frame1=r=q1;g=0;b=1-q1;\n");
  const CustomDraws draws = Draw(p, WithQ(0, 0.25));
  ASSERT_EQ(draws.batches.size(), 1u);
  EXPECT_EQ(draws.batches[0].kind, DrawKind::kLines);
  ASSERT_EQ(draws.lines.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const DrawVertex& v = draws.lines[i];
    EXPECT_FLOAT_EQ(v.r, 0.25f);
    EXPECT_FLOAT_EQ(v.g, 0.0f);
    EXPECT_FLOAT_EQ(v.b, 0.75f);
    // x = sample, y = 0.5 + value1 / 2, in clip space (twice, less one).
    EXPECT_NEAR(v.x, 2.0 * (i / 4.0) - 1.0, 1e-6);
  }
  EXPECT_NEAR(draws.lines[0].y, -0.5, 1e-3);  // value1 at the start of the ramp
  EXPECT_GT(draws.lines[4].y, 0.25f);
}

TEST(CustomWave, PointCodeCarriesBetweenPointsAndTStartsFromInitEachFrame) {
  Preset p = Parse(
      "wavecode_0_enabled=1\nwavecode_0_samples=4\nwavecode_0_bUseDots=1\n"
      "wavecode_0_sep=100\nwavecode_0_scaling=2\nwavecode_0_smoothing=0\n"
      "wave_0_init1=t1=0.1;\n"
      "wave_0_per_frame1=t1=t1+0.1;\n"
      "wave_0_per_point1=t1=t1+0.1; x=t1; y=value2/2;\n");
  const CustomDraws draws = Draw(p, {}, 3);  // the third frame starts from the init's t1 again
  ASSERT_EQ(draws.lines.size(), 4u);
  EXPECT_EQ(draws.batches[0].kind, DrawKind::kDots);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(draws.lines[i].x, 2.0 * (0.2 + 0.1 * (i + 1)) - 1.0, 1e-5) << i;
    EXPECT_NEAR(draws.lines[i].y, 2.0 * 0.25 - 1.0, 1e-5);  // value2 = 0.25 scaled by 2, halved
  }
}

TEST(CustomWave, LongPerPointCodeDrawsFewerPointsWithANoteAndNaNStaysOffTheImage) {
  std::string code = "wavecode_0_enabled=1\nwave_0_per_point1=x=0/0";
  for (int i = 0; i < 1000; ++i) code += "+sin(sample)";
  Preset p = Parse(code + "\n");
  CustomScene scene;
  std::string error;
  std::vector<std::string> notes;
  ASSERT_TRUE(scene.Load(p, error, notes)) << error;
  ASSERT_FALSE(notes.empty());
  EXPECT_NE(notes.back().find("per-point code too long"), std::string::npos) << notes.back();
  CustomDraws draws;
  scene.Draw({}, Ramp(), 1.0f, draws);
  EXPECT_LT(draws.lines.size(), 512u);
  EXPECT_GT(draws.lines.size(), 1u);
  for (const DrawVertex& v : draws.lines) EXPECT_FALSE(std::isnan(v.x));
}

TEST(CustomShape, FillsAGradientPolygonWithAnOutline) {
  Preset p = Parse(
      "shapecode_0_enabled=1\nshapecode_0_sides=5\nshapecode_0_rad=0.25\n"
      "shapecode_0_r=1\nshapecode_0_g=0\nshapecode_0_b=0\nshapecode_0_a=1\n"
      "shapecode_0_r2=0\nshapecode_0_g2=0\nshapecode_0_b2=1\nshapecode_0_a2=0.5\n"
      "shapecode_0_border_a=0.7\nshape_0_per_frame1=x=q2;additive=1;\n");
  const CustomDraws draws = Draw(p, WithQ(1, 0.75));
  ASSERT_EQ(draws.batches.size(), 2u);
  EXPECT_EQ(draws.batches[0].kind, DrawKind::kTriangles);
  EXPECT_TRUE(draws.batches[0].additive);
  ASSERT_EQ(draws.shapes.size(), 15u);  // a fan of five triangles
  EXPECT_FLOAT_EQ(draws.shapes[0].x, 0.5f);  // the centre at x = q2
  EXPECT_FLOAT_EQ(draws.shapes[0].r, 1.0f);
  EXPECT_FLOAT_EQ(draws.shapes[1].b, 1.0f);
  EXPECT_FLOAT_EQ(draws.shapes[1].a, 0.5f);
  for (size_t k = 1; k < 15; k += 3) {  // corners on the circle, radius 2 × 0.25 in clip space
    EXPECT_NEAR(std::hypot(draws.shapes[k].x - 0.5f, draws.shapes[k].y), 0.5f, 1e-5f);
  }
  EXPECT_EQ(draws.batches[1].kind, DrawKind::kLines);
  EXPECT_EQ(draws.lines.size(), 6u);  // closed outline
  EXPECT_FLOAT_EQ(draws.lines[0].a, 0.7f);
}

TEST(CustomShape, SkipsNonFiniteRadiiAndClampsSidesFromCode) {
  struct Case {
    const char* code;
    size_t vertices;
  } cases[] = {
      {"rad=0/0;", 0},  {"x=exp(1000);", 0},        {"rad=-1;", 0},
      {"sides=0;", 9},  {"sides=100000;", 300}, {"sides=0/0; r=0/0;", 9},
  };
  for (const Case& c : cases) {
    Preset p = Parse(std::string("shapecode_0_enabled=1\nshapecode_0_border_a=0\n") +
                     "shape_0_per_frame1=" + c.code + "\n");
    const CustomDraws draws = Draw(p);
    EXPECT_EQ(draws.shapes.size(), c.vertices) << c.code;
    for (const ShapeVertex& v : draws.shapes) EXPECT_FALSE(std::isnan(v.r)) << c.code;
  }
}

TEST(CustomScene, ACompileErrorRefusesTheWholeScene) {
  Preset p = Parse("shapecode_2_enabled=1\nshape_2_per_frame1=x=(1\n");
  CustomScene scene;
  std::string error;
  std::vector<std::string> notes;
  EXPECT_FALSE(scene.Load(p, error, notes));
  EXPECT_EQ(error.rfind("shape 2 per_frame: ", 0), 0u) << error;
}

}  // namespace
}  // namespace halvex::vis
