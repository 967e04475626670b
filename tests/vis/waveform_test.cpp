#include "vis/waveform.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace halvex::vis {
namespace {

// One frame's strip: a centred wave of colour (0.2, 0.4, 0.6) at alpha 0.5, a left channel at
// 0.5, a right one at -0.5 and a flat spectrum at 0.05; `change` adjusts the state first.
template <typename Change>
std::vector<DrawVertex> Wave(int mode, Change change) {
  FrameState s;
  s.wave_r = 0.2f;
  s.wave_g = 0.4f;
  s.wave_b = 0.6f;
  s.wave_a = 0.5f;
  s.wave_x = 0.5f;
  s.wave_y = 0.5f;
  s.wave_mode = mode;
  change(s);
  AudioFeatures f;
  f.wave_left.fill(0.5f);
  f.wave_right.fill(-0.5f);
  f.spectrum.fill(0.05f);
  Waveform wave;
  wave.Build(s, f, 10.0, 1.0f);
  return wave.points();
}
std::vector<DrawVertex> Wave(int mode) {
  return Wave(mode, [](FrameState&) {});
}

TEST(Waves, HaveTheirModesPointCounts) {
  const struct {
    int mode;
    size_t points;
  } cases[] = {{0, 577}, {1, 576}, {2, 576}, {3, 1153}, {4, 576}, {5, 256},
               {6, 256}, {9, 576}, {-3, 577}, {7, 577}};
  for (const auto& c : cases) EXPECT_EQ(Wave(c.mode).size(), c.points) << c.mode;
}

TEST(Waves, PlacePointsWhereTheModeSays) {
  // Circle around the centre (0.5, 0.5) -> clip (0, 0): radius 0.25 * 0.5 + 0.4.
  const std::vector<DrawVertex> circle = Wave(0);
  EXPECT_NEAR(circle.front().x, 0.525f, 1e-6);
  EXPECT_NEAR(circle.front().y, 0.0f, 1e-6);
  EXPECT_NEAR(circle.back().x, circle.front().x, 1e-6);
  EXPECT_FLOAT_EQ(circle.front().r, 0.2f);
  EXPECT_FLOAT_EQ(circle.front().a, 0.5f);

  const std::vector<DrawVertex> scope = Wave(1, [](FrameState& s) { s.wave_x = 0.75f; });
  EXPECT_FLOAT_EQ(scope[10].x, 0.5f + 0.3f);
  EXPECT_FLOAT_EQ(scope[10].y, -0.3f);

  const std::vector<DrawVertex> line = Wave(9, [](FrameState& s) { s.wave_x = 1.0f; });
  EXPECT_FLOAT_EQ(line.front().x, -0.7f);  // mode 9 draws mode 2
  EXPECT_FLOAT_EQ(line.back().x, 0.9f);
  EXPECT_FLOAT_EQ(line.front().y, 0.0f);

  const std::vector<DrawVertex> two = Wave(3);
  EXPECT_FLOAT_EQ(two[0].x, -0.9f);
  EXPECT_FLOAT_EQ(two[0].y, 0.525f);
  EXPECT_EQ(two[576].x, two[575].x);
  EXPECT_EQ(two[576].a, 0.0f);
  EXPECT_FLOAT_EQ(two[577].x, 0.9f);
  EXPECT_FLOAT_EQ(two[577].y, -0.525f);
  EXPECT_FLOAT_EQ(two.back().x, -0.9f);

  const std::vector<DrawVertex> arc = Wave(5);
  for (const DrawVertex& p : arc) EXPECT_LE(p.y, 1e-6f);  // the upper half
  EXPECT_NEAR(arc.front().x, -(0.45f * 0.4f + 0.3f), 1e-6);

  const std::vector<DrawVertex> bars = Wave(6);
  for (size_t b = 0; b < 64; ++b) {
    EXPECT_EQ(bars[4 * b].a, 0.0f);
    EXPECT_EQ(bars[4 * b + 1].a, 0.5f);
    EXPECT_EQ(bars[4 * b + 2].a, 0.5f);
    EXPECT_EQ(bars[4 * b + 3].a, 0.0f);
  }
  EXPECT_NEAR(bars[1].x, 0.15f, 1e-6);
  EXPECT_NEAR(bars[2].x, 0.5f + 0.18f, 1e-6);
}

TEST(Waves, StayInsideTheClipSpaceWithFiniteColours) {
  const std::vector<DrawVertex> far = Wave(1, [](FrameState& s) {
    s.wave_x = 9.0f;
    s.wave_y = -9.0f;
    s.wave_r = std::nanf("");
    s.wave_a = 4.0f;
  });
  for (const DrawVertex& p : far) {
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.y, -1.0f);
    EXPECT_EQ(p.r, 0.0f);
    EXPECT_EQ(p.a, 1.0f);
  }
}

TEST(Waves, FadeScalesTheAlphaAndEachBuildStartsAfresh) {
  FrameState s;
  s.wave_a = 0.8f;
  s.wave_mode = 1;
  Waveform wave;
  wave.Build(s, AudioFeatures{}, 0.0, 0.25f);
  ASSERT_EQ(wave.points().size(), 576u);
  EXPECT_FLOAT_EQ(wave.points()[0].a, 0.2f);
  s.wave_mode = 5;
  wave.Build(s, AudioFeatures{}, 0.0, 1.0f);
  EXPECT_EQ(wave.points().size(), 256u);
  EXPECT_FLOAT_EQ(wave.points()[0].a, 0.8f);
}

}  // namespace
}  // namespace halvex::vis
