// The frame loop's pieces that need no window: pacing on an injected clock, the preset keys
// against a real library, and how the title card becomes vertices.
#include "vis/vis_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace halvex::vis {
namespace {

// Time moves only when the code under test sleeps or the test says so.
class FakeClock final : public FrameClock {
 public:
  int64_t NowNs() override { return now; }
  void SleepNs(int64_t ns) override {
    slept.push_back(ns);
    now += ns;
  }
  int64_t now = 5000000000;  // any origin: t counts from Start
  std::vector<int64_t> slept;
};

TEST(FramePacing, ShortFramesSleepTheRestOfTheBudgetLongOnesAreFollowedAtOnce) {
  EXPECT_EQ(FrameBudgetNs(30), 33333000);
  EXPECT_EQ(FrameBudgetNs(0), 1000000000);
  FakeClock clock;
  FramePacer pacer(clock, 60);
  pacer.Start();
  const int64_t work[] = {5000000, 20000000, 16666000, 0};
  const std::vector<int64_t> sleeps = {11666000, 16666000};
  for (const int64_t ns : work) {
    const int64_t start = clock.now;
    EXPECT_NEAR(pacer.BeginFrame(), (start - 5000000000) * 1e-9, 1e-12);
    clock.now += ns;
    pacer.EndFrame();
    EXPECT_GE(clock.now - start, FrameBudgetNs(60));
  }
  EXPECT_EQ(clock.slept, sleeps);
}

TEST(PresetKeys, NextUnlocksAndMovesOnPreviousKeepsTheLockQuitDropsTheRest) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "halvex-vis-keys";
  std::filesystem::create_directories(dir);
  for (const char* name : {"a", "b", "c"}) {
    std::ofstream(dir / (std::string(name) + ".milk")) << "fDecay=0.9\nzoom=1.01\n";
  }
  Session s;  // nothing started: no window, no renderer, no threads
  s.config.preset_dir = dir.string();
  VisualizerSettings settings = SettingsFor(s.config);
  settings.fallback_dirs.clear();
  s.visualizer.Configure(settings);
  ASSERT_EQ(s.visualizer.library_size(), 3u);

  EXPECT_TRUE(HandleEvents(s, {WindowEvent::ToggleLock, WindowEvent::PreviousPreset}));
  EXPECT_EQ(s.visualizer.current_name(), "c");
  EXPECT_TRUE(s.visualizer.locked());
  EXPECT_TRUE(HandleEvents(s, {WindowEvent::NextPreset, WindowEvent::NextPreset,
                               WindowEvent::Resized, WindowEvent::ToggleFullscreen}));
  EXPECT_EQ(s.visualizer.current_name(), "b");
  EXPECT_FALSE(s.visualizer.locked());
  EXPECT_FALSE(
      HandleEvents(s, {WindowEvent::NextPreset, WindowEvent::Quit, WindowEvent::NextPreset}));
  EXPECT_EQ(s.visualizer.current_name(), "c");
  std::filesystem::remove_all(dir);
}

TEST(TitleVertices, OpeningCardIsRaisedUnderItsMarkInTheProductColourOverThePicture) {
  TitleOverlay card;
  card.Announce("Halvex", 0.0);
  std::vector<DrawVertex> waves(3, DrawVertex{0.1f, 0.1f, 1, 1, 1, 1});
  std::vector<DrawVertex> overlay;
  ComposeTitle(card, 1.0, 1.5f, FrameConstants{}, waves, overlay);
  EXPECT_EQ(waves.size(), 3u);
  const std::vector<TitlePoint> mark = BrandMark(-0.22f, 0.42f, 1.0f, 1.5f);
  const std::vector<TitlePoint> text = card.Geometry(1.0, 1.5f);
  ASSERT_EQ(overlay.size(), mark.size() + text.size());
  // The mark has the card's alpha, not the first title point's (which is always 0).
  EXPECT_EQ(overlay[1].a, 1.0f);
  EXPECT_EQ(overlay[1].y, mark[1].y);
  const DrawVertex& first_text = overlay[mark.size()];
  EXPECT_EQ(first_text.a, 0.0f);
  EXPECT_FLOAT_EQ(first_text.y, text[0].y + 0.16f);
  EXPECT_FLOAT_EQ(first_text.r, 0.549f + 0.35f);
  EXPECT_FLOAT_EQ(first_text.g, 0.114f + 0.35f);
  EXPECT_FLOAT_EQ(first_text.b, 0.42f + 0.35f);
}

TEST(TitleVertices, FadingCardJoinsTheWavesThroughAnInvisiblePointInTheWaveColour) {
  TitleOverlay card;
  card.Announce("Artist ~ Title", 10.0);
  FrameConstants constants;
  constants.wave_r = 0.9f, constants.wave_g = 0.2f, constants.wave_b = 0.5f;
  std::vector<DrawVertex> waves = {{-0.5f, 0.2f, 1, 1, 1, 1}, {0.5f, 0.3f, 1, 1, 1, 0.8f}};
  std::vector<DrawVertex> overlay;
  ComposeTitle(card, 13.0, 1.0f, constants, waves, overlay);
  EXPECT_TRUE(overlay.empty());
  const std::vector<TitlePoint> text = card.Geometry(13.0, 1.0f);
  ASSERT_EQ(waves.size(), 2 + 1 + text.size());
  EXPECT_EQ(waves[2].x, 0.5f);  // the bridge: on the last wave point, invisible
  EXPECT_EQ(waves[2].y, 0.3f);
  EXPECT_EQ(waves[2].a, 0.0f);
  EXPECT_EQ(waves[3].a, 0.0f);
  EXPECT_EQ(waves[3].y, text[0].y);  // not raised after the intro, no mark
  EXPECT_FLOAT_EQ(waves[4].a, text[1].alpha);
  EXPECT_FLOAT_EQ(waves[4].r, 1.0f);  // wave colour lifted, capped at 1
  EXPECT_FLOAT_EQ(waves[4].g, 0.55f);
  std::vector<DrawVertex> after;
  ComposeTitle(card, 16.5, 1.0f, constants, after, overlay);
  EXPECT_TRUE(after.empty() && overlay.empty());
}

}  // namespace
}  // namespace halvex::vis
