#include "vis/visualizer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace halvex::vis {
namespace {

namespace fs = std::filesystem;

class PresetDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvex-vis-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void Write(const std::string& file, const std::string& text) {
    std::ofstream(dir_ + "/" + file, std::ios::binary) << text;
  }

  VisualizerSettings Settings(float preset_time = 25.0f) const {
    VisualizerSettings s;
    s.preset_dir = dir_;
    s.preset_time = preset_time;
    s.fallback_dirs = {};
    return s;
  }

  std::string dir_;
};

std::vector<std::string> Names(const Visualizer& v) {
  std::vector<std::string> names;
  for (const PresetEntry& e : v.library()) names.push_back(e.name);
  return names;
}

TEST_F(PresetDir, ScansMilkFilesInByteOrder) {
  Write("b.milk", "fzoom=1");
  Write("A.milk", "fzoom=1");
  Write("a.MILK", "fzoom=1");
  Write("notes.txt", "fzoom=1");
  fs::create_directory(dir_ + "/folder.milk");
  fs::create_directory(dir_ + "/sub");
  std::ofstream(dir_ + "/sub/deep.milk") << "fzoom=1";
  fs::create_symlink(dir_ + "/b.milk", dir_ + "/c.milk");
  fs::create_symlink(dir_ + "/missing", dir_ + "/dangling.milk");
  Visualizer v;
  v.Configure(Settings());
  EXPECT_EQ(Names(v), (std::vector<std::string>{"A", "b", "c"}));
  EXPECT_EQ(v.current_name(), "A");
  EXPECT_EQ(v.library_dir(), dir_);
}

TEST_F(PresetDir, FallsBackToTheInstalledCollectionAndThenTheBuiltIn) {
  Visualizer v;
  VisualizerSettings s = Settings();
  s.preset_dir = dir_ + "/absent";
  v.Configure(s);
  EXPECT_EQ(v.library_size(), 0u);
  EXPECT_EQ(v.current_name(), "built-in");
  EXPECT_EQ(v.library_dir(), dir_ + "/absent");

  fs::create_directory(dir_ + "/empty");
  fs::create_directory(dir_ + "/installed");
  std::ofstream(dir_ + "/installed/ours.milk") << "fzoom=1";
  s.preset_dir = dir_ + "/empty";
  s.fallback_dirs = {dir_ + "/nowhere", dir_ + "/installed"};
  v.Configure(s);
  EXPECT_EQ(Names(v), std::vector<std::string>{"ours"});
  EXPECT_EQ(v.library_dir(), dir_ + "/installed");
}

TEST(PresetFolders, FollowXdgDataDirs) {
  setenv("XDG_DATA_DIRS", "/opt/a::/opt/b", 1);
  const std::vector<std::string> dirs = VisualizerSettings::InstalledPresetDirs();
  ASSERT_GE(dirs.size(), 2u);
  EXPECT_EQ(dirs[0], "/opt/a/halvex/presets");
  EXPECT_EQ(dirs[1], "/opt/b/halvex/presets");
  unsetenv("XDG_DATA_DIRS");
  EXPECT_EQ(VisualizerSettings::InstalledPresetDirs().at(0), "/usr/local/share/halvex/presets");
}

TEST_F(PresetDir, NextAndPreviousSkipPresetsThatDoNotLoad) {
  Write("1good.milk", "per_frame_1=zoom=1.1");
  Write("2broken.milk", "per_frame_1=zoom=(1");
  Write("3comments.milk", "[preset00]\n// nothing\n");
  std::string huge = "fzoom=1\n";
  huge.resize(kMaxPresetBytes + 10, ' ');
  Write("4huge.milk", huge);
  Write("5good.milk", "per_frame_1=zoom=0.9 // shrink");
  Visualizer v;
  v.Configure(Settings());
  ASSERT_EQ(v.current_name(), "1good");
  v.Next();
  EXPECT_EQ(v.current_name(), "5good");
  EXPECT_EQ(v.current_index(), 4u);
  v.Next();
  EXPECT_EQ(v.current_name(), "1good");
  v.Previous();
  EXPECT_EQ(v.current_name(), "5good");
  v.Previous();
  EXPECT_EQ(v.current_name(), "1good");
  EXPECT_FALSE(v.LoadIndex(1));
  EXPECT_FALSE(v.LoadIndex(99));
  EXPECT_EQ(v.current_name(), "1good");
}

TEST_F(PresetDir, AFailedLoadKeepsTheCurrentPresetRunning) {
  Write("a.milk", "per_frame_1=decay=0.5");
  Write("b.milk", "per_frame_1=decay=(");
  Visualizer v;
  v.Configure(Settings());
  EXPECT_FALSE(v.LoadIndex(1));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
  EXPECT_FLOAT_EQ(v.Constants().decay, 0.5f);
}

TEST_F(PresetDir, FirstPresetThatFailsGivesTheBuiltIn) {
  Write("a.milk", "per_pixel_1=zoom=sin(1,2)");
  Write("b.milk", "fzoom=1");
  Visualizer v;
  v.Configure(Settings());
  EXPECT_EQ(v.current_name(), "built-in");
  v.Next();
  EXPECT_EQ(v.current_name(), "b");
}

TEST_F(PresetDir, SwitchesOnTheTimer) {
  Write("a.milk", "fzoom=1");
  Write("b.milk", "fzoom=1");
  Visualizer v;
  v.Configure(Settings(25.0f));
  AudioFeatures quiet;
  for (double t : {0.0, 10.0, 24.99}) {
    v.Advance(quiet, t, 1.0f);
    EXPECT_EQ(v.current_name(), "a") << t;
  }
  v.Advance(quiet, 25.0, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  v.Advance(quiet, 49.0, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  v.Advance(quiet, 50.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
  EXPECT_EQ(v.frame(), 6u);
}

TEST_F(PresetDir, NeverSwitchesALibraryOfOne) {
  Write("only.milk", "fzoom=1");
  Visualizer v;
  v.Configure(Settings(5.0f));
  AudioFeatures loud;
  loud.beat = true;
  loud.bass = 3.0f;
  for (double t = 0; t < 100; t += 7) v.Advance(loud, t, 1.0f);
  EXPECT_EQ(v.current_name(), "only");
}

TEST_F(PresetDir, SwitchesOnStrongBeatsAtMostEveryFourSeconds) {
  Write("a.milk", "fzoom=1");
  Write("b.milk", "fzoom=1");
  Write("c.milk", "fzoom=1");
  Visualizer v;
  v.Configure(Settings(300.0f));
  AudioFeatures beat;
  beat.beat = true;
  beat.bass = 2.0f;
  AudioFeatures weak = beat;
  weak.bass = 1.8f;
  const struct {
    double t;
    const AudioFeatures* features;
    const char* shown;
  } steps[] = {{3.9, &beat, "a"}, {4.0, &weak, "a"}, {4.0, &beat, "b"}, {7.9, &beat, "b"},
               {8.0, &beat, "c"}, {9.0, &beat, "c"}, {12.0, &beat, "a"}};
  for (const auto& step : steps) {
    v.Advance(*step.features, step.t, 1.0f);
    EXPECT_EQ(v.current_name(), step.shown) << step.t;
  }
  VisualizerSettings off = Settings(300.0f);
  off.hard_cut_beat = false;
  Visualizer calm;
  calm.Configure(off);
  calm.Advance(beat, 10.0, 1.0f);
  EXPECT_EQ(calm.current_name(), "a");
}

TEST_F(PresetDir, LockStopsTimerAndBeatSwitchesButNotNext) {
  Write("a.milk", "fzoom=1");
  Write("b.milk", "fzoom=1");
  Visualizer v;
  v.Configure(Settings(5.0f));
  v.ToggleLock();
  AudioFeatures beat;
  beat.beat = true;
  beat.bass = 5.0f;
  v.Advance(beat, 30.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
  v.Next();
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.locked());
  v.ToggleLock();
  v.Advance(AudioFeatures{}, 31.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
}

class Waves : public PresetDir {
 protected:
  // The waveform of one frame of a preset whose per-frame code is `code`.
  std::vector<DrawVertex> Wave(const std::string& code) {
    Write("w.milk", "wave_r=0.2\nwave_g=0.4\nwave_b=0.6\nfwavealpha=0.5\nper_frame_1=" + code);
    Visualizer v;
    v.Configure(Settings());
    EXPECT_EQ(v.current_name(), "w");
    AudioFeatures f;
    for (size_t i = 0; i < AudioFeatures::kWaveSize; ++i) {
      f.wave_left[i] = 0.5f;
      f.wave_right[i] = -0.5f;
    }
    for (size_t k = 0; k < AudioFeatures::kSpectrumSize; ++k) f.spectrum[k] = 0.05f;
    v.Advance(f, 10.0, 1.0f);
    return v.waves();
  }
};

TEST_F(Waves, HaveTheirModesPointCounts) {
  const struct {
    const char* code;
    size_t points;
  } cases[] = {{"wave_mode=0", 577},  {"wave_mode=1", 576}, {"wave_mode=2", 576},
               {"wave_mode=3", 1153}, {"wave_mode=4", 576}, {"wave_mode=5", 256},
               {"wave_mode=6", 256},  {"wave_mode=9", 576}, {"wave_mode=-3", 577},
               {"wave_mode=7", 577}};
  for (const auto& c : cases) EXPECT_EQ(Wave(c.code).size(), c.points) << c.code;
}

TEST_F(Waves, PlacePointsWhereTheModeSays) {
  // Circle around the centre (0.5, 0.5) -> clip (0, 0): radius 0.25 * 0.5 + 0.4.
  const std::vector<DrawVertex> circle = Wave("wave_mode=0");
  EXPECT_NEAR(circle.front().x, 0.525f, 1e-6);
  EXPECT_NEAR(circle.front().y, 0.0f, 1e-6);
  EXPECT_NEAR(circle.back().x, circle.front().x, 1e-6);
  EXPECT_FLOAT_EQ(circle.front().r, 0.2f);
  EXPECT_FLOAT_EQ(circle.front().a, 0.5f);

  const std::vector<DrawVertex> scope = Wave("wave_mode=1; wave_x=0.75");
  EXPECT_FLOAT_EQ(scope[10].x, 0.5f + 0.3f);
  EXPECT_FLOAT_EQ(scope[10].y, -0.3f);

  const std::vector<DrawVertex> line = Wave("wave_mode=9; wave_x=1");  // draws mode 2
  EXPECT_FLOAT_EQ(line.front().x, -0.7f);
  EXPECT_FLOAT_EQ(line.back().x, 0.9f);
  EXPECT_FLOAT_EQ(line.front().y, 0.0f);

  const std::vector<DrawVertex> two = Wave("wave_mode=3");
  EXPECT_FLOAT_EQ(two[0].x, -0.9f);
  EXPECT_FLOAT_EQ(two[0].y, 0.525f);
  EXPECT_EQ(two[576].x, two[575].x);
  EXPECT_EQ(two[576].a, 0.0f);
  EXPECT_FLOAT_EQ(two[577].x, 0.9f);
  EXPECT_FLOAT_EQ(two[577].y, -0.525f);
  EXPECT_FLOAT_EQ(two.back().x, -0.9f);

  const std::vector<DrawVertex> arc = Wave("wave_mode=5");
  for (const DrawVertex& p : arc) EXPECT_LE(p.y, 1e-6f);  // the upper half
  EXPECT_NEAR(arc.front().x, -(0.45f * 0.4f + 0.3f), 1e-6);

  const std::vector<DrawVertex> bars = Wave("wave_mode=6");
  for (size_t b = 0; b < 64; ++b) {
    EXPECT_EQ(bars[4 * b].a, 0.0f);
    EXPECT_EQ(bars[4 * b + 1].a, 0.5f);
    EXPECT_EQ(bars[4 * b + 2].a, 0.5f);
    EXPECT_EQ(bars[4 * b + 3].a, 0.0f);
  }
  EXPECT_NEAR(bars[1].x, 0.15f, 1e-6);
  EXPECT_NEAR(bars[2].x, 0.5f + 0.18f, 1e-6);
}

TEST_F(Waves, StayInsideTheClipSpaceWithFiniteColours) {
  const std::vector<DrawVertex> far =
      Wave("wave_mode=1; wave_x=9; wave_y=-9; wave_r=pow(-1,0.5); wave_a=4");
  for (const DrawVertex& p : far) {
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(p.y, -1.0f);
    EXPECT_EQ(p.r, 0.0f);
    EXPECT_EQ(p.a, 1.0f);
  }
}

TEST_F(PresetDir, PacksTheFrameConstants) {
  Write("c.milk",
        "nVideoEchoOrientation=3\nfDecay=1.5\nfGammaAdj=9\nfVideoEchoZoom=0\nfVideoEchoAlpha=-1\n"
        "bInvert=1\nbDarken=1\nwave_r=2\n");
  Visualizer v;
  v.Configure(Settings());
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  const FrameConstants c = v.Constants();
  EXPECT_EQ(c.decay, 1.0f);
  EXPECT_EQ(c.gamma, 8.0f);
  EXPECT_EQ(c.echo_zoom, 0.01f);
  EXPECT_EQ(c.echo_alpha, 0.0f);
  EXPECT_EQ(c.echo_flip_x, -1.0f);
  EXPECT_EQ(c.echo_flip_y, -1.0f);
  EXPECT_EQ(c.reserved, 1.0f);
  EXPECT_EQ(c.effects, 5.0f);
  EXPECT_EQ(c.wave_r, 2.0f);

  Write("c.milk", "nVideoEchoOrientation=2\nper_frame_1=decay=pow(-1,0.5)");
  v.Configure(Settings());
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_EQ(v.Constants().decay, 0.0f);  // NaN would never fade from the feedback image
  EXPECT_EQ(v.Constants().echo_flip_x, 1.0f);
  EXPECT_EQ(v.Constants().echo_flip_y, -1.0f);
}

TEST(BuiltInPreset, LoadsAndMoves) {
  MeshEvaluator e;
  std::string error;
  ASSERT_TRUE(e.Load(BuiltInPreset(), error)) << error;
  e.Evaluate(AudioFeatures{}, 1.0, 0, 1.0f);
  EXPECT_FLOAT_EQ(e.frame_state().decay, 0.96f);
  EXPECT_NE(e.mesh()[0].u, 0.0f);  // zoomed, rotated, warped
}

// Our own collection: every preset loads without errors, and between them they use every wave
// mode, video echo, the colour effects and per-vertex motion.
TEST(PresetCollection, LoadsAndCoversTheFeatures) {
  Visualizer v;
  VisualizerSettings s;
  s.preset_dir = std::string(HALVEX_SOURCE_DIR) + "/vis/presets";
  s.fallback_dirs = {};
  v.Configure(s);
  ASSERT_GE(v.library_size(), 12u);
  std::set<int> modes;
  bool echo = false, effects = false, per_vertex = false, additive = false;
  for (size_t i = 0; i < v.library_size(); ++i) {
    ASSERT_TRUE(v.LoadIndex(i)) << v.library()[i].name;
    std::ifstream in(v.library()[i].path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Preset preset;
    ASSERT_TRUE(ParsePreset(text, "x", preset));
    per_vertex = per_vertex || !preset.per_pixel.empty();
    for (const std::string& note : v.notes()) ADD_FAILURE() << v.library()[i].name << ": " << note;
    v.Advance(AudioFeatures{}, 30.0 * static_cast<double>(i), 1.0f);
    const FrameState& st = v.evaluator().frame_state();
    modes.insert(((st.wave_mode % 7) + 7) % 7);
    echo = echo || st.echo_alpha > 0.0f;
    effects = effects || st.invert || st.brighten || st.darken || st.solarize;
    additive = additive || st.additive_waves;
  }
  EXPECT_EQ(modes.size(), 7u);
  EXPECT_TRUE(echo);
  EXPECT_TRUE(effects);
  EXPECT_TRUE(additive);
  EXPECT_TRUE(per_vertex);
}

}  // namespace
}  // namespace halvex::vis

namespace halvex::vis {
namespace {

// Two presets that pull the picture in opposite directions and draw their waves in different
// colours, so a blend of them is visible in the mesh and in the waves.
class Blends : public PresetDir {
 protected:
  void SetUp() override {
    PresetDir::SetUp();
    Write("a.milk", "fWarpAmount=0\nper_frame_1=zoom=1.25;wave_r=1;wave_g=0;wave_b=0;\n");
    Write("b.milk", "fWarpAmount=0\nper_frame_1=zoom=0.8;wave_r=0;wave_g=0;wave_b=1;\n");
    Write("c.milk", "fWarpAmount=0\nper_frame_1=zoom=1;\n");
  }

  VisualizerSettings Settings(float blend_time) const {
    VisualizerSettings s = PresetDir::Settings(5.0f);
    s.blend_time = blend_time;
    return s;
  }

  // The u of the grid's first vertex for the zoom: sampled (0 - 0.5) / zoom + 0.5.
  static float U(float zoom) { return -0.5f / zoom + 0.5f; }
};

TEST_F(Blends, TimerSwitchShowsBothPresetsForBlendTimeAndEndsOnTheNewOne) {
  Visualizer v;
  v.Configure(Settings(3.0f));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_FALSE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);

  v.Advance(AudioFeatures{}, 5.0, 1.0f);  // the timer switches to b
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);  // still all a

  v.Advance(AudioFeatures{}, 6.5, 1.0f);  // half-way
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.5f);
  EXPECT_NEAR(v.mesh()[0].u, 0.5f * (U(1.25f) + U(0.8f)), 1e-5);
  // a's red wave fades out as a custom batch, b's blue one fades in as the main wave.
  const CustomDraws& draws = v.custom_draws();
  ASSERT_FALSE(draws.batches.empty());
  const DrawVertex& old_wave = draws.lines[draws.batches.back().first];
  EXPECT_EQ(old_wave.r, 1.0f);
  EXPECT_FLOAT_EQ(old_wave.a, 0.5f);
  ASSERT_FALSE(v.waves().empty());
  EXPECT_EQ(v.waves()[0].b, 1.0f);
  EXPECT_FLOAT_EQ(v.waves()[0].a, 0.5f);

  v.Advance(AudioFeatures{}, 8.0, 1.0f);  // over
  EXPECT_FALSE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(0.8f), 1e-5);
  EXPECT_TRUE(v.custom_draws().batches.empty());
  EXPECT_FLOAT_EQ(v.waves()[0].a, 1.0f);
}

TEST_F(Blends, ZeroBlendTimeAndStrongBeatsCutWhileKeysDuringABlendStartANewOne) {
  Visualizer cut;
  cut.Configure(Settings(0.0f));
  cut.Advance(AudioFeatures{}, 0.0, 1.0f);
  cut.Next();
  cut.Advance(AudioFeatures{}, 0.1, 1.0f);
  EXPECT_FALSE(cut.blending());
  EXPECT_NEAR(cut.mesh()[0].u, U(0.8f), 1e-5);

  Visualizer v;
  v.Configure(Settings(3.0f));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  AudioFeatures beat;
  beat.beat = true;
  beat.bass = 2.0f;
  v.Advance(beat, 4.0, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_FALSE(v.blending());

  v.Advance(AudioFeatures{}, 5.0, 1.0f);
  v.Previous();  // a key: blends back to a from this frame on
  v.Advance(AudioFeatures{}, 5.0, 1.0f);
  EXPECT_TRUE(v.blending());
  v.Advance(AudioFeatures{}, 6.5, 1.0f);
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.5f);
  v.Next();  // during the blend: a new one from the preset that was coming in
  v.Advance(AudioFeatures{}, 6.5, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.blending());
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.0f);
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);
}

}  // namespace
}  // namespace halvex::vis
