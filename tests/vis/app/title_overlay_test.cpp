// The stroke font's layout and the title card's timing, size and strip structure.
#include "vis/title_overlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "vis/stroke_font.h"

namespace halvex::vis {
namespace {

// Width and height of the laid-out text.
std::pair<float, float> Size(const std::string& text, float height, float aspect) {
  float left = 1e9f, right = -1e9f, top = 1e9f, bottom = -1e9f;
  for (const Stroke& s : LayoutText(text, 0.0f, 0.0f, height, 1.75f, aspect)) {
    for (const FontPoint& p : s) {
      left = std::min(left, p.x), right = std::max(right, p.x);
      top = std::min(top, p.y), bottom = std::max(bottom, p.y);
    }
  }
  return {right - left, bottom - top};
}

TEST(StrokeFont, LowerCaseIsUpperUnknownIsAnEmptyCellSpaceIsSmallerLongTextIsScaled) {
  const std::vector<Stroke> a = GlyphStrokes('a');
  ASSERT_EQ(a.size(), 2u);  // A: 0,0 0,4 2,6 4,4 4,0 / 0,2 4,2
  EXPECT_FLOAT_EQ(a[0][2].x, 0.5f);
  EXPECT_FLOAT_EQ(a[0][2].y, 1.0f);
  EXPECT_EQ(GlyphStrokes('8').front().size(), 16u);  // the longest glyph is read whole
  EXPECT_TRUE(GlyphStrokes('#').empty());
  // "I#I" at height 0.2: I's bars span the middle half of a cell, so the width is 2 cells + 0.1.
  EXPECT_NEAR(Size("I#I", 0.2f, 1.0f).first, 0.5f, 1e-5f);
  EXPECT_NEAR(Size("I\xc3\xa9I", 0.2f, 1.0f).first, 0.5f, 1e-5f);  // one UTF-8 letter, one cell
  EXPECT_NEAR(Size("I I", 0.2f, 1.0f).first, 0.2f * 1.55f + 0.1f, 1e-5f);
  EXPECT_NEAR(Size("I", 0.2f, 2.0f).second, 0.2f, 1e-5f);
  // 40 cells of H (edge to edge) squeezed into 1.75 whatever the aspect.
  for (const float aspect : {1.0f, 16.0f / 9.0f, 0.001f}) {
    const auto [width, height] = Size(std::string(40, 'H'), 0.16f, aspect);
    EXPECT_NEAR(width, 1.75f, 1e-4f) << aspect;
    EXPECT_NEAR(height, 1.75f / 40.0f * (aspect > 0.01f ? aspect : 1.0f), 1e-5f) << aspect;
  }
}

TEST(TitleCard, PopsInHoldsThenFadesAndGrowsAndEachStrokeIsJoinedInvisibly) {
  TitleOverlay card;
  EXPECT_TRUE(card.Geometry(0.0, 1.0f).empty());
  card.Announce("HI", 10.0);
  card.Announce("HI", 11.0);  // unchanged: keeps its start
  card.Announce("", 11.5);    // empty: ignored
  struct Case {
    double t;
    int phase;
    float alpha, height;
  };
  const Case cases[] = {{9.9, 0, 0.0f, 0.0f},   {10.0, 1, 1.0f, 0.1888f}, {10.25, 1, 1.0f, 0.16f},
                        {12.0, 2, 1.0f, 0.16f}, {14.0, 2, 0.25f, 0.188f}, {16.0, 0, 0.0f, 0.0f}};
  for (const Case& c : cases) {
    EXPECT_EQ(card.Phase(c.t), c.phase) << c.t;
    EXPECT_NEAR(card.Alpha(c.t), c.alpha, 1e-6f) << c.t;
    if (c.phase != 0) {
      EXPECT_NEAR(card.Height(c.t), c.height, 1e-6f) << c.t;
    }
    const std::vector<TitlePoint> strip = card.Geometry(c.t, 1.0f);
    std::size_t i = 0;
    for (const Stroke& s : LayoutText("HI", 0, 0, card.Height(c.t), 1.75f, 1.0f)) {
      if (c.phase == 0) break;
      ASSERT_LT(i + s.size() + 1, strip.size());
      EXPECT_EQ(strip[i].alpha, 0.0f);
      EXPECT_EQ(strip[i].x, s.front().x);
      EXPECT_FLOAT_EQ(strip[i + 1].alpha, c.alpha);
      EXPECT_EQ(strip[i + s.size() + 1].alpha, 0.0f);
      EXPECT_EQ(strip[i + s.size() + 1].y, s.back().y);
      i += s.size() + 2;
    }
    EXPECT_EQ(i, strip.size()) << c.t;
  }
  card.Announce("HO", 14.0);
  EXPECT_EQ(card.Phase(14.5), 1);
}

TEST(BrandMark, IsCentredAtItsHeightNarrowedByTheAspectAndAbsentWithoutAlpha) {
  EXPECT_TRUE(BrandMark(0.0f, 0.4f, 0.0f, 1.0f).empty());
  EXPECT_TRUE(BrandMark(0.0f, 0.0f, 1.0f, 1.0f).empty());
  const std::vector<TitlePoint> mark = BrandMark(-0.22f, 0.42f, 0.6f, 2.0f);
  ASSERT_GT(mark.size(), 10u);
  EXPECT_EQ(mark.front().alpha, 0.0f);
  float left = 1, right = -1, top = 1, bottom = -1;
  for (const TitlePoint& p : mark) {
    EXPECT_TRUE(p.alpha == 0.0f || p.alpha == 0.6f);
    left = std::min(left, p.x), right = std::max(right, p.x);
    top = std::min(top, p.y), bottom = std::max(bottom, p.y);
  }
  EXPECT_NEAR(left, -right, 1e-5f);
  EXPECT_NEAR(top + bottom, 2 * -0.22f, 1e-5f);
  EXPECT_LE(bottom - top, 0.42f);
  EXPECT_LE(right - left, 0.42f / 2.0f);
}

}  // namespace
}  // namespace halvex::vis
