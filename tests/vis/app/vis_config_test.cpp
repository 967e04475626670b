// vis.json: defaults from the environment, typed keys, clamping with notes, whole-file failures;
// the command line.
#include "vis/vis_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace halvex::vis {
namespace {

// Sets or unsets one variable for the scope and restores it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(VisConfigDefaults, FollowXdgVariablesWhenSetEvenEmptyElseHome) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string preset_dir;
    std::string config_path;
  };
  const Case cases[] = {
      {"/x", "/h", "/x/halvex/presets", "/x/halvex/vis.json"},
      {"", "/h", "/halvex/presets", "/halvex/vis.json"},
      {nullptr, "/h", "/h/.local/share/halvex/presets", "/h/.config/halvex/vis.json"},
      {nullptr, nullptr, "./.local/share/halvex/presets", "./.config/halvex/vis.json"},
  };
  for (const Case& c : cases) {
    ScopedEnv data("XDG_DATA_HOME", c.xdg);
    ScopedEnv config("XDG_CONFIG_HOME", c.xdg);
    ScopedEnv home("HOME", c.home);
    const VisConfig defaults = DefaultVisConfig();
    EXPECT_EQ(defaults.preset_dir, c.preset_dir);
    EXPECT_EQ(DefaultVisConfigPath(), c.config_path);
    EXPECT_EQ(defaults.node_target, "halvex_dsp");
    EXPECT_EQ(defaults.fps_cap, 60);
    EXPECT_EQ(defaults.mesh_x, 48u);
    EXPECT_EQ(defaults.mesh_y, 36u);
  }
}

TEST(VisConfigParse, ClampsNumbersAndNotesEachClampedKey) {
  struct Case {
    std::string text;
    std::string notes;
    int32_t fps_cap = 60;
    uint64_t mesh_x = 48;
    float preset_time = 25.0f;
  };
  const Case cases[] = {
      {R"({"fps_cap": 10})", "fps_cap clamped to range; ", 30},
      {R"({"fps_cap": 500})", "fps_cap clamped to range; ", 240},
      {R"({"fps_cap": 72.9})", "", 72},
      {R"({"fps_cap": 1e30})", "fps_cap clamped to range; ", 240},
      {R"({"mesh_x": -5})", "mesh_x clamped to range; ", 60, 96},
      {R"({"mesh_x": -5.5})", "mesh_x clamped to range; ", 60, 96},
      {R"({"mesh_x": 8})", "mesh_x clamped to range; ", 60, 16},
      {R"({"mesh_x": 20.7})", "", 60, 20},
      {R"({"mesh_x": 1e300})", "mesh_x clamped to range; ", 60, 96},
      {R"({"preset_time": 1, "fps_cap": 1})", "preset_time clamped to range; fps_cap clamped to range; ",
       30, 48, 5.0f},
      {R"({"preset_time": 1e300})", "preset_time clamped to range; ", 60, 48, 300.0f},
      {R"({"preset_time": "30", "fps_cap": true})", "", 60, 48, 25.0f},
  };
  for (const Case& c : cases) {
    VisConfig config;
    std::string notes;
    ASSERT_TRUE(ParseVisConfig(c.text, config, notes)) << c.text;
    EXPECT_EQ(notes, c.notes) << c.text;
    EXPECT_EQ(config.fps_cap, c.fps_cap) << c.text;
    EXPECT_EQ(config.mesh_x, c.mesh_x) << c.text;
    EXPECT_EQ(config.preset_time, c.preset_time) << c.text;
  }
}

TEST(VisConfigParse, ReadsEveryKeyOfItsTypeAndKeepsTheRest) {
  VisConfig config;
  config.preset_dir = "/default";
  std::string notes;
  ASSERT_TRUE(ParseVisConfig(R"({"preset_dir": 3, "node_target": "other", "blend_time": 4,
      "hard_cut_beat": false, "mesh_y": 64, "fullscreen": "yes", "unknown": [1]})",
                             config, notes));
  EXPECT_EQ(notes, "");
  EXPECT_EQ(config.preset_dir, "/default");
  EXPECT_EQ(config.node_target, "other");
  EXPECT_EQ(config.blend_time, 4.0f);
  EXPECT_FALSE(config.hard_cut_beat);
  EXPECT_EQ(config.mesh_y, 64u);
  EXPECT_FALSE(config.fullscreen);
  ASSERT_TRUE(ParseVisConfig(R"({"fullscreen": true, "preset_dir": "/p"})", config, notes));
  EXPECT_TRUE(config.fullscreen);
  EXPECT_EQ(config.preset_dir, "/p");
}

TEST(VisConfigParse, RejectsWholeTextsThatAreTooLargeMalformedOrNotObjects) {
  struct Case {
    std::string text;
    std::string notes_start;
  };
  // 1048576 bytes exactly is accepted; one more is not.
  std::string at_limit = R"({"fps_cap": 30})";
  at_limit += std::string(kMaxVisConfigBytes - at_limit.size(), ' ');
  const Case cases[] = {
      {at_limit + " ", "config exceeds size limit"},
      {R"({"fps_cap": 30 // comment
      })", "config parse error: "},
      {R"({"fps_cap": )", "config parse error: "},
      {"[1]", "config must be a JSON object"},
      {"7", "config must be a JSON object"},
  };
  for (const Case& c : cases) {
    VisConfig config;
    std::string notes = "earlier note; ";
    EXPECT_FALSE(ParseVisConfig(c.text, config, notes)) << c.text.substr(0, 40);
    EXPECT_EQ(notes.rfind(c.notes_start, 0), 0u) << notes;
    EXPECT_EQ(config.fps_cap, 60);
  }
  VisConfig config;
  std::string notes;
  EXPECT_TRUE(ParseVisConfig(at_limit, config, notes));
  EXPECT_EQ(config.fps_cap, 30);
}

TEST(VisConfigLoad, MissingFileIsNoErrorAndBadFileKeepsDefaultsWithItsError) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "halvex-vis-config";
  std::filesystem::create_directories(dir);
  std::string notes;
  const VisConfig missing = LoadVisConfig((dir / "absent.json").string(), notes);
  EXPECT_EQ(notes, "");
  EXPECT_EQ(missing.fps_cap, 60);

  std::ofstream(dir / "bad.json") << "{ nope";
  const VisConfig bad = LoadVisConfig((dir / "bad.json").string(), notes);
  EXPECT_EQ(notes.rfind("config parse error: ", 0), 0u) << notes;
  EXPECT_EQ(bad.preset_dir, DefaultVisConfig().preset_dir);

  notes.clear();
  std::ofstream(dir / "good.json") << R"({"fps_cap": 500, "mesh_y": 20})";
  const VisConfig good = LoadVisConfig((dir / "good.json").string(), notes);
  EXPECT_EQ(notes, "fps_cap clamped to range; ");
  EXPECT_EQ(good.fps_cap, 240);
  EXPECT_EQ(good.mesh_y, 20u);
  std::filesystem::remove_all(dir);
}

TEST(VisCommandLine, ReadsOptionsLeftToRightAndRefusesAnythingElseWithUsage) {
  ScopedEnv config_home("XDG_CONFIG_HOME", "/cfg");
  struct Case {
    std::vector<std::string> args;
    bool run;
    std::string message_start;  // when not run
    std::string config_path = "/cfg/halvex/vis.json";
    bool fullscreen = false;
  };
  const Case cases[] = {
      {{"halvex-vis"}, true, ""},
      {{"halvex-vis", "--fullscreen", "--config", "/a.json"}, true, "", "/a.json", true},
      {{"halvex-vis", "--config", "/a.json", "--config", "/b.json"}, true, "", "/b.json"},
      {{"halvex-vis", "--config"}, false, "error: unrecognised argument: --config\nUsage: halvex-vis "},
      {{"halvex-vis", "--fullscreen", "-x"}, false, "error: unrecognised argument: -x\nUsage: "},
      {{"vis", "--help", "--bogus"}, false, "Usage: vis [options]\n\n"},
      {{"vis", "-h"}, false, "Usage: vis [options]\n\n"},
  };
  for (const Case& c : cases) {
    VisOptions options;
    std::string message;
    EXPECT_EQ(ParseVisArguments(c.args, options, message), c.run) << c.args.back();
    if (c.run) {
      EXPECT_EQ(options.config_path, c.config_path);
      EXPECT_EQ(options.fullscreen, c.fullscreen);
    } else {
      EXPECT_EQ(message.rfind(c.message_start, 0), 0u) << message;
    }
  }
}

TEST(VisCommandLine, UsageNamesTheDefaultFileKeysEnvironmentAndMaker) {
  ScopedEnv config_home("XDG_CONFIG_HOME", "/cfg");
  const std::string usage = VisUsage("halvex-vis");
  EXPECT_NE(usage.find("  --config PATH   configuration file (default /cfg/halvex/vis.json)\n"),
            std::string::npos);
  EXPECT_NE(usage.find("Keys: Alt+Enter or F fullscreen, Space or N next preset, P previous,\n"
                       "      L locks the current preset, Esc quits.\n\n"),
            std::string::npos);
  EXPECT_NE(usage.find("HALVEX_VIS_VALIDATE=1 enables Vulkan validation.\n\n"), std::string::npos);
  const std::string last = std::string("Halvex by ") + kMakerName + "\n" + kProjectPage + "\n";
  EXPECT_EQ(usage.substr(usage.size() - last.size()), last);
}

}  // namespace
}  // namespace halvex::vis
