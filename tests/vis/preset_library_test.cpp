// The preset library as the visualizer uses it: which files, in which order, which load.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/vis/preset_dir.h"
#include "vis/preset_library.h"
#include "vis/visualizer.h"

namespace halvex::vis {
namespace {

namespace fs = std::filesystem;

TEST_F(PresetDir, ScansMilkFilesInByteOrder) {
  WritePlain({"b", "A"});
  Write("a.MILK", "fzoom=1");
  Write("notes.txt", "fzoom=1");
  fs::create_directory(dir_ + "/folder.milk");
  fs::create_directory(dir_ + "/sub");
  std::ofstream(dir_ + "/sub/deep.milk") << "fzoom=1";
  fs::create_symlink(dir_ + "/b.milk", dir_ + "/c.milk");
  fs::create_symlink(dir_ + "/missing", dir_ + "/dangling.milk");
  Visualizer v = Configured();
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
  Visualizer v = Configured();
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
  Visualizer v = Configured();
  EXPECT_FALSE(v.LoadIndex(1));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
  EXPECT_FLOAT_EQ(v.Constants().decay, 0.5f);
}

TEST_F(PresetDir, FirstPresetThatFailsGivesTheBuiltIn) {
  Write("a.milk", "per_pixel_1=zoom=sin(1,2)");
  Write("b.milk", "fzoom=1");
  Visualizer v = Configured();
  EXPECT_EQ(v.current_name(), "built-in");
  v.Next();
  EXPECT_EQ(v.current_name(), "b");
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
