// A private folder of preset files, for the tests of the library, the cycling and the blends.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "vis/visualizer.h"

namespace halvex::vis {

class PresetDir : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  void Write(const std::string& file, const std::string& text) {
    test::WriteText(dir_ + "/" + file, text);
  }
  // One plain preset per name.
  void WritePlain(std::initializer_list<const char*> names) {
    for (const char* name : names) Write(std::string(name) + ".milk", "fzoom=1");
  }

  VisualizerSettings Settings(float preset_time = 25.0f) const {
    VisualizerSettings s;
    s.preset_dir = dir_;
    s.preset_time = preset_time;
    s.fallback_dirs = {};
    return s;
  }

  // A visualizer configured on the folder.
  Visualizer Configured(float preset_time = 25.0f) const {
    Visualizer v;
    v.Configure(Settings(preset_time));
    return v;
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path();
};

inline std::vector<std::string> Names(const Visualizer& v) {
  std::vector<std::string> names;
  for (const PresetEntry& e : v.library()) names.push_back(e.name);
  return names;
}

// A strong beat (or a weak one, with a low `bass`).
inline AudioFeatures Beat(float bass = 2.0f) {
  AudioFeatures f;
  f.beat = true;
  f.bass = bass;
  return f;
}

}  // namespace halvex::vis
