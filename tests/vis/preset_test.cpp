#include "vis/preset.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace halvex::vis {
namespace {

Preset Parse(const std::string& text) {
  Preset preset;
  EXPECT_TRUE(ParsePreset(text, "test", preset)) << text;
  return preset;
}

TEST(PresetFile, AssemblesProgramLinesInNumericOrder) {
  const Preset p = Parse(
      "[preset00]\n"
      "per_frame_10=c=3\n"
      "per_frame_9=b=2;\n"
      "per_frame_1=zoom=1.1\n"
      "per_frame_2=rot=0.1\n"
      "per_frame_init_1=q=1\n"
      "per_frame_init_=r=2\n"
      "per_pixel_2=y=2\n"
      "per_pixel_1=x=1\n"
      "per_pixel_3=\n");
  EXPECT_EQ(p.per_frame, "zoom=1.1;\nrot=0.1;\nb=2;\nc=3;");
  EXPECT_EQ(p.per_frame_init, "r=2;\nq=1;");
  EXPECT_EQ(p.per_pixel, "x=1;\ny=2;");
  EXPECT_EQ(p.name, "test");
}

TEST(PresetFile, LowerCasesKeysAndTrimsAroundTheFirstEquals) {
  const Preset p = Parse("  Per_Frame_1 = x = 1  \r\nFDECAY=0.9\n");
  EXPECT_EQ(p.per_frame, "x = 1;");
  EXPECT_FLOAT_EQ(p.decay, 0.9f);
}

struct ValueCase {
  const char* text;
  float Preset::*field;
  float expected;
};

TEST(PresetFile, ReadsNumbersWithDefaultsAndFallbacks) {
  const ValueCase cases[] = {
      {"fDecay=0.9", &Preset::decay, 0.9f},
      {"fDecay=abc", &Preset::decay, 0.0f},
      {"fzoom=2", &Preset::zoom, 2.0f},
      {"x=1", &Preset::zoom, 1.0f},
      {"x=1", &Preset::warp, 1.0f},
      {"fwarpamount=0.3", &Preset::warp, 0.3f},
      {"fcx=0.2", &Preset::cx, 0.2f},
      {"x=1", &Preset::cy, 0.5f},
      {"fstretchx=1.5", &Preset::sx, 1.5f},
      {"fvideoechozoom=2", &Preset::echo_zoom, 2.0f},
      {"fvideoechoalpha=.5", &Preset::echo_alpha, 0.5f},
      {"fwavealpha=0.25", &Preset::wave_a, 0.25f},
      {"wave_x=0.1", &Preset::wave_x, 0.1f},
      {"fgammaadj=2", &Preset::gamma, 2.0f},
      {"fdecay=1e300", &Preset::decay, INFINITY},
      // every other key reaches its own field
      {"frot=0.1", &Preset::rot, 0.1f},     {"fcy=0.7", &Preset::cy, 0.7f},
      {"fdx=0.2", &Preset::dx, 0.2f},       {"fdy=0.3", &Preset::dy, 0.3f},
      {"fstretchy=1.2", &Preset::sy, 1.2f}, {"wave_r=0.4", &Preset::wave_r, 0.4f},
      {"wave_g=0.5", &Preset::wave_g, 0.5f}, {"wave_b=0.6", &Preset::wave_b, 0.6f},
      {"wave_y=0.8", &Preset::wave_y, 0.8f},
  };
  for (const ValueCase& c : cases) EXPECT_EQ(Parse(c.text).*c.field, c.expected) << c.text;
}

TEST(PresetFile, TruncatesIntegersAndReadsFlags) {
  EXPECT_EQ(Parse("nwavemode=2.9").wave_mode, 2);
  EXPECT_EQ(Parse("nwavemode=-1.5").wave_mode, -1);
  EXPECT_EQ(Parse("nwavemode=nan").wave_mode, 0);
  EXPECT_EQ(Parse("nwavemode=1e20").wave_mode, 2147483647);
  EXPECT_EQ(Parse("nVideoEchoOrientation=3").echo_orientation, 3);
  EXPECT_EQ(Parse("x=1").echo_orientation, 0);
  EXPECT_TRUE(Parse("bInvert=0.5").invert);
  EXPECT_TRUE(Parse("bInvert=nan").invert);
  EXPECT_FALSE(Parse("bInvert=0").invert);
  EXPECT_FALSE(Parse("x=1").invert);
  const Preset all = Parse("bbrighten=1\nbdarken=1\nbsolarize=1\nbadditivewaves=1\nbwavethick=1");
  EXPECT_TRUE(all.brighten && all.darken && all.solarize && all.additive_waves && all.wave_thick);
}

TEST(PresetFile, DetectsShaderStagesOnlyWhenTheyCarryText) {
  const Preset with = Parse("warp_1=`shader_body {}\n");
  EXPECT_TRUE(with.has_shaders);
  EXPECT_EQ(with.notes, std::vector<std::string>{
                            "carries MilkDrop 2 shader stages; rendering with the fixed pipeline"});
  const Preset comp = Parse("comp_3=ret = 1;");
  EXPECT_TRUE(comp.has_shaders);
  const Preset empty = Parse("warp_1=\nfzoom=1");
  EXPECT_FALSE(empty.has_shaders);
  EXPECT_TRUE(empty.notes.empty());
}

TEST(PresetFile, RefusesTextsWithoutAnyKeyValueLine) {
  for (const std::string& text : {std::string(""), std::string("[preset00]\n// just a comment\n\n"),
                                  std::string("no equals here\n/=comment=\n")}) {
    Preset untouched;
    untouched.name = "kept";
    EXPECT_FALSE(ParsePreset(text, "new", untouched)) << text;
    EXPECT_EQ(untouched.name, "kept");
  }
}

TEST(PresetFile, RefusesTextsLargerThanTheLimit) {
  std::string text = "fzoom=2\n";
  text.resize(kMaxPresetBytes + 1, ' ');
  Preset p;
  EXPECT_FALSE(ParsePreset(text, "big", p));
  text.resize(kMaxPresetBytes);
  EXPECT_TRUE(ParsePreset(text, "big", p));
}

TEST(PresetFile, LaterLinesWinAndCommentsInValuesAreKept) {
  const Preset p = Parse("fzoom=2\nfzoom=3\nper_frame_1=x = 1; // set x\n");
  EXPECT_FLOAT_EQ(p.zoom, 3.0f);
  // The compiler ignores the comment; the assembled line keeps it.
  EXPECT_EQ(p.per_frame, "x = 1; // set x;");
}

TEST(PresetFile, AppendEndsEveryLineWithOneSemicolon) {
  std::string code;
  Append(code, "a=1");
  Append(code, "b=2;");
  EXPECT_EQ(code, "a=1;\nb=2;");
  EXPECT_EQ(Trim(" \t\r\nx y\n "), "x y");
}

}  // namespace
}  // namespace halvex::vis
