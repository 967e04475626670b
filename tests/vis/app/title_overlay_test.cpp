// The stroke font's layout and the title card's timing, size and strip structure.
#include "vis/title_overlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "vis/stroke_font.h"

namespace halvex::vis {
namespace {

struct Extent {
  float left = 1e9f, right = -1e9f, top = 1e9f, bottom = -1e9f;
};

Extent ExtentOf(const std::vector<Stroke>& strokes) {
  Extent e;
  for (const Stroke& s : strokes) {
    for (const FontPoint& p : s) {
      e.left = std::min(e.left, p.x);
      e.right = std::max(e.right, p.x);
      e.top = std::min(e.top, p.y);
      e.bottom = std::max(e.bottom, p.y);
    }
  }
  return e;
}

TEST(StrokeFont, GlyphsComeFromTheGridLowerCaseAsUpperUnknownAsNothing) {
  const std::vector<Stroke> a = GlyphStrokes('A');
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(a[0].size(), 5u);
  EXPECT_FLOAT_EQ(a[0][2].x, 0.5f);  // the apex 2,6
  EXPECT_FLOAT_EQ(a[0][2].y, 1.0f);
  EXPECT_FLOAT_EQ(a[1][1].x, 1.0f);  // the bar ends at 4,2
  EXPECT_FLOAT_EQ(a[1][1].y, 2.0f / 6.0f);
  const std::vector<Stroke> lower = GlyphStrokes('a');
  ASSERT_EQ(lower.size(), a.size());
  EXPECT_FLOAT_EQ(lower[0][4].x, a[0][4].x);
  EXPECT_EQ(GlyphStrokes('*').size(), 3u);
  EXPECT_EQ(GlyphStrokes('8').front().size(), 16u);  // the longest glyph is read whole
  for (const char c : {'#', ' ', '\xc3', '\0'}) EXPECT_TRUE(GlyphStrokes(c).empty()) << int(c);
}

TEST(StrokeFont, LayoutCentresTextAndGivesSpacesAndUnknownCharactersTheirCells) {
  // "I I": cells 1 + 0.55 + 1 at height 0.2, aspect 1; the I's bars span its cell 0.25..0.75.
  const Extent e = ExtentOf(LayoutText("I I", 0.0f, 0.1f, 0.2f, 10.0f, 1.0f));
  const float half = 2.55f * 0.2f / 2;
  EXPECT_NEAR(e.left, -half + 0.05f, 1e-5f);
  EXPECT_NEAR(e.right, half - 0.05f, 1e-5f);
  EXPECT_NEAR(e.top, 0.0f, 1e-5f);  // y down: the top of the glyph is y - height / 2
  EXPECT_NEAR(e.bottom, 0.2f, 1e-5f);
  // An unknown character leaves a full cell; a UTF-8 letter counts as one character.
  const Extent gap = ExtentOf(LayoutText("I#I", 0.0f, 0.0f, 0.2f, 10.0f, 1.0f));
  EXPECT_NEAR(gap.right - gap.left, 2 * 0.2f + 0.1f, 1e-5f);
  const Extent accent = ExtentOf(LayoutText("I\xc3\xa9I", 0.0f, 0.0f, 0.2f, 10.0f, 1.0f));
  EXPECT_NEAR(accent.right - accent.left, 2 * 0.2f + 0.1f, 1e-5f);
  EXPECT_TRUE(LayoutText("", 0, 0, 0.2f, 1, 1).empty());
  EXPECT_TRUE(LayoutText("A", 0, 0, 0.0f, 1, 1).empty());
}

TEST(StrokeFont, LongTextIsScaledToTheMaximumWidthForTheAspect) {
  const std::string text(40, 'H');  // H fills its cell edge to edge
  for (const float aspect : {1.0f, 16.0f / 9.0f, 0.001f}) {
    const Extent e = ExtentOf(LayoutText(text, 0.0f, 0.0f, 0.16f, 1.75f, aspect));
    // 40 cells of which the last one's right edge is its full width: exactly 1.75 across.
    EXPECT_NEAR(e.right - e.left, 1.75f, 1e-4f) << aspect;
    const float a = aspect > 0.01f ? aspect : 1.0f;
    EXPECT_NEAR(e.bottom - e.top, 1.75f / 40.0f * a, 1e-5f) << aspect;
  }
}

TEST(TitleCard, TimesPhasesAlphaAndSize) {
  TitleOverlay card;
  EXPECT_EQ(card.Phase(0.0), 0);
  EXPECT_TRUE(card.Geometry(0.0, 1.0f).empty());
  card.Announce("Artist ~ Title", 10.0);
  struct Case {
    double t;
    int phase;
    float alpha;
    float height;
  };
  const Case cases[] = {
      {9.9, 0, 0.0f, -1},        {10.0, 1, 1.0f, 0.1888f}, {10.125, 1, 1.0f, 0.1744f},
      {10.25, 1, 1.0f, 0.16f},   {11.99, 1, 1.0f, 0.16f},  {12.0, 2, 1.0f, 0.16f},
      {14.0, 2, 0.25f, 0.188f},  {15.99, 2, 0.00000625f, -1}, {16.0, 0, 0.0f, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(card.Phase(c.t), c.phase) << c.t;
    EXPECT_NEAR(card.Alpha(c.t), c.alpha, 1e-4f) << c.t;
    if (c.height > 0) {
      EXPECT_NEAR(card.Height(c.t), c.height, 1e-5f) << c.t;
    }
    EXPECT_EQ(card.Geometry(c.t, 1.0f).empty(), c.phase == 0) << c.t;
  }
}

TEST(TitleCard, SameTextKeepsItsStartEmptyIsIgnoredNewTextRestarts) {
  TitleOverlay card;
  card.Announce("one", 0.0);
  card.Announce("one", 3.0);
  card.Announce("", 3.5);
  EXPECT_EQ(card.Phase(3.9), 2);
  EXPECT_EQ(card.text(), "one");
  card.Announce("two", 4.0);
  EXPECT_EQ(card.Phase(4.5), 1);
  EXPECT_EQ(card.text(), "two");
}

TEST(TitleCard, EveryStrokeIsEnteredAndLeftThroughInvisiblePoints) {
  TitleOverlay card;
  card.Announce("HI", 0.0);
  const std::vector<TitlePoint> strip = card.Geometry(4.0, 1.0f);
  const std::vector<Stroke> strokes = LayoutText("HI", 0, 0, card.Height(4.0), 1.75f, 1.0f);
  std::size_t expected = 0;
  for (const Stroke& s : strokes) expected += s.size() + 2;
  ASSERT_EQ(strip.size(), expected);
  std::size_t i = 0;
  for (const Stroke& s : strokes) {
    EXPECT_EQ(strip[i].alpha, 0.0f);
    EXPECT_EQ(strip[i].x, s.front().x);
    for (std::size_t k = 0; k < s.size(); ++k) EXPECT_FLOAT_EQ(strip[i + 1 + k].alpha, 0.25f);
    EXPECT_EQ(strip[i + s.size() + 1].alpha, 0.0f);
    EXPECT_EQ(strip[i + s.size() + 1].y, s.back().y);
    i += s.size() + 2;
  }
}

TEST(BrandMark, IsCentredScaledInvisiblyJoinedAndAbsentWithoutAlpha) {
  EXPECT_TRUE(BrandMark(0.0f, 0.4f, 0.0f, 1.0f).empty());
  EXPECT_TRUE(BrandMark(0.0f, 0.0f, 1.0f, 1.0f).empty());
  const std::vector<TitlePoint> mark = BrandMark(-0.22f, 0.42f, 0.6f, 2.0f);
  ASSERT_GT(mark.size(), 10u);
  EXPECT_EQ(mark.front().alpha, 0.0f);
  EXPECT_EQ(mark.back().alpha, 0.0f);
  float left = 1, right = -1, top = 1, bottom = -1;
  for (const TitlePoint& p : mark) {
    EXPECT_TRUE(p.alpha == 0.0f || p.alpha == 0.6f);
    left = std::min(left, p.x);
    right = std::max(right, p.x);
    top = std::min(top, p.y);
    bottom = std::max(bottom, p.y);
  }
  EXPECT_NEAR(left, -right, 1e-5f);
  EXPECT_NEAR(top + bottom, 2 * -0.22f, 1e-5f);
  EXPECT_LE(bottom - top, 0.42f);
  EXPECT_LE(right - left, 0.42f / 2.0f);  // x divided by the aspect
}

}  // namespace
}  // namespace halvex::vis
