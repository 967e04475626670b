// The frame loop's pieces that need no window: pacing on an injected clock, the preset keys
// against a real library, and how the title card becomes vertices.
#include "vis/vis_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

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

TEST(FramePacing, BudgetFollowsTheCapIncludingNonsense) {
  EXPECT_EQ(FrameBudgetNs(60), 16666000);
  EXPECT_EQ(FrameBudgetNs(30), 33333000);
  EXPECT_EQ(FrameBudgetNs(240), 4166000);
  EXPECT_EQ(FrameBudgetNs(0), 1000000000);
  EXPECT_EQ(FrameBudgetNs(-7), 1000000000);
}

TEST(FramePacing, ShortFramesSleepTheRestLongOnesAreFollowedAtOnce) {
  FakeClock clock;
  FramePacer pacer(clock, 60);
  pacer.Start();
  EXPECT_DOUBLE_EQ(pacer.BeginFrame(), 0.0);
  clock.now += 5000000;  // a 5 ms frame
  pacer.EndFrame();
  ASSERT_EQ(clock.slept.size(), 1u);
  EXPECT_EQ(clock.slept[0], 11666000);

  EXPECT_NEAR(pacer.BeginFrame(), 0.016666, 1e-9);
  clock.now += 20000000;  // over budget: no sleep
  pacer.EndFrame();
  EXPECT_EQ(clock.slept.size(), 1u);

  EXPECT_NEAR(pacer.BeginFrame(), 0.036666, 1e-9);
  clock.now += 16666000;  // exactly the budget: no sleep either
  pacer.EndFrame();
  EXPECT_EQ(clock.slept.size(), 1u);
}

TEST(FramePacing, EveryFrameLastsAtLeastItsBudget) {
  FakeClock clock;
  FramePacer pacer(clock, 144);
  pacer.Start();
  int64_t previous = clock.now;
  for (int i = 0; i < 50; ++i) {
    pacer.BeginFrame();
    clock.now += (i * 7919) % 9000000;  // work of 0 to 9 ms
    pacer.EndFrame();
    EXPECT_GE(clock.now - previous, FrameBudgetNs(144)) << i;
    previous = clock.now;
  }
}

// A session whose visualizer reads three presets of ours; nothing is started.
class PresetKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / "halvex-vis-keys";
    std::filesystem::create_directories(dir_);
    for (const char* name : {"a", "b", "c"}) {
      std::ofstream(dir_ / (std::string(name) + ".milk")) << "fDecay=0.9\nzoom=1.01\n";
    }
    session_ = std::make_unique<Session>();
    session_->config.preset_dir = dir_.string();
    VisualizerSettings settings = SettingsFor(session_->config);
    settings.fallback_dirs.clear();
    session_->visualizer.Configure(settings);
    ASSERT_EQ(session_->visualizer.library_size(), 3u);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  const std::string& Showing() const { return session_->visualizer.current_name(); }

  std::filesystem::path dir_;
  std::unique_ptr<Session> session_;
};

TEST_F(PresetKeys, NextUnlocksAndMovesOnPreviousKeepsTheLock) {
  Session& s = *session_;
  EXPECT_EQ(Showing(), "a");
  EXPECT_TRUE(HandleEvents(s, {WindowEvent::ToggleLock}));
  EXPECT_TRUE(s.visualizer.locked());
  EXPECT_TRUE(HandleEvents(s, {WindowEvent::PreviousPreset}));
  EXPECT_EQ(Showing(), "c");
  EXPECT_TRUE(s.visualizer.locked());
  EXPECT_TRUE(HandleEvents(s, {WindowEvent::NextPreset, WindowEvent::NextPreset}));
  EXPECT_EQ(Showing(), "b");
  EXPECT_FALSE(s.visualizer.locked());
  // Window events without a window or renderer are harmless.
  EXPECT_TRUE(HandleEvents(s, {WindowEvent::Resized, WindowEvent::ToggleFullscreen}));
}

TEST_F(PresetKeys, QuitEndsTheFrameAndDropsTheEventsAfterIt) {
  EXPECT_FALSE(HandleEvents(*session_, {WindowEvent::NextPreset, WindowEvent::Quit,
                                        WindowEvent::NextPreset}));
  EXPECT_EQ(Showing(), "b");
}

FrameConstants WaveColour(float r, float g, float b) {
  FrameConstants constants;
  constants.wave_r = r;
  constants.wave_g = g;
  constants.wave_b = b;
  return constants;
}

TEST(TitleVertices, OpeningCardIsRaisedUnderItsMarkInTheProductColourOverThePicture) {
  TitleOverlay card;
  card.Announce("Halvex", 0.0);
  std::vector<DrawVertex> waves(3, DrawVertex{0.1f, 0.1f, 1, 1, 1, 1});
  std::vector<DrawVertex> overlay;
  ComposeTitle(card, 1.0, 1.5f, WaveColour(0, 1, 0), waves, overlay);
  EXPECT_EQ(waves.size(), 3u);
  const std::vector<TitlePoint> mark = BrandMark(-0.22f, 0.42f, 1.0f, 1.5f);
  const std::vector<TitlePoint> text = card.Geometry(1.0, 1.5f);
  ASSERT_EQ(overlay.size(), mark.size() + text.size());
  // The mark is drawn with the card's alpha, not with the (always invisible) first point's.
  EXPECT_EQ(overlay[1].a, 1.0f);
  EXPECT_EQ(overlay[1].y, mark[1].y);
  const DrawVertex& first_text = overlay[mark.size()];
  EXPECT_EQ(first_text.a, 0.0f);
  EXPECT_FLOAT_EQ(first_text.y, text[0].y + 0.16f);
  EXPECT_FLOAT_EQ(first_text.r, 0.549f + 0.35f);
  EXPECT_FLOAT_EQ(first_text.g, 0.114f + 0.35f);
  EXPECT_FLOAT_EQ(first_text.b, 0.42f + 0.35f);
}

TEST(TitleVertices, FadingCardJoinsTheWavesThroughAnInvisiblePoint) {
  TitleOverlay card;
  card.Announce("Artist ~ Title", 10.0);
  std::vector<DrawVertex> waves = {{-0.5f, 0.2f, 1, 1, 1, 1}, {0.5f, 0.3f, 1, 1, 1, 0.8f}};
  std::vector<DrawVertex> overlay;
  ComposeTitle(card, 13.0, 1.0f, WaveColour(0.9f, 0.2f, 0.5f), waves, overlay);
  EXPECT_TRUE(overlay.empty());
  const std::vector<TitlePoint> text = card.Geometry(13.0, 1.0f);
  ASSERT_EQ(waves.size(), 2 + 1 + text.size());
  // The bridge sits on the last wave point, invisible; the title's first point is invisible too.
  EXPECT_EQ(waves[2].x, 0.5f);
  EXPECT_EQ(waves[2].y, 0.3f);
  EXPECT_EQ(waves[2].a, 0.0f);
  EXPECT_EQ(waves[3].a, 0.0f);
  EXPECT_EQ(waves[3].y, text[0].y);  // no intro raise and no mark after the intro
  EXPECT_FLOAT_EQ(waves[4].a, text[1].alpha);
  EXPECT_FLOAT_EQ(waves[4].r, 1.0f);  // the wave colour lifted, capped at 1
  EXPECT_FLOAT_EQ(waves[4].g, 0.55f);
  EXPECT_FLOAT_EQ(waves[4].b, 0.85f);

  std::vector<DrawVertex> no_waves;
  ComposeTitle(card, 13.0, 1.0f, WaveColour(0.9f, 0.2f, 0.5f), no_waves, overlay);
  EXPECT_EQ(no_waves.size(), text.size());
  no_waves.clear();
  ComposeTitle(card, 16.5, 1.0f, WaveColour(0.9f, 0.2f, 0.5f), no_waves, overlay);
  EXPECT_TRUE(no_waves.empty());
  EXPECT_TRUE(overlay.empty());
}

}  // namespace
}  // namespace halvex::vis
