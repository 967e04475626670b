// Preset cycling: the timer, strong beats, the lock.
#include <gtest/gtest.h>

#include "tests/vis/preset_dir.h"
#include "vis/visualizer.h"

namespace halvex::vis {
namespace {

TEST_F(PresetDir, SwitchesOnTheTimer) {
  WritePlain({"a", "b"});
  Visualizer v = Configured(25.0f);
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
  WritePlain({"only"});
  Visualizer v = Configured(5.0f);
  for (double t = 0; t < 100; t += 7) v.Advance(Beat(3.0f), t, 1.0f);
  EXPECT_EQ(v.current_name(), "only");
}

TEST_F(PresetDir, SwitchesOnStrongBeatsAtMostEveryFourSeconds) {
  WritePlain({"a", "b", "c"});
  Visualizer v = Configured(300.0f);
  const AudioFeatures beat = Beat();
  const AudioFeatures weak = Beat(1.8f);
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
  WritePlain({"a", "b"});
  Visualizer v = Configured(5.0f);
  v.ToggleLock();
  v.Advance(Beat(5.0f), 30.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
  v.Next();
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.locked());
  v.ToggleLock();
  v.Advance(AudioFeatures{}, 31.0, 1.0f);
  EXPECT_EQ(v.current_name(), "a");
}

}  // namespace
}  // namespace halvex::vis
