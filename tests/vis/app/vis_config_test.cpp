// vis.json: defaults from the environment, clamping with notes, whole-text failures; the
// command line.
#include "vis/vis_config.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/vis/app/scoped_env.h"

namespace halvex::vis {
namespace {

TEST(VisConfig, DefaultsFollowXdgVariablesWhenSetEvenEmptyElseHomeElseDot) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string preset_dir, config_path;
  };
  const Case cases[] = {
      {"/x", "/h", "/x/halvex/presets", "/x/halvex/vis.json"},
      {"", "/h", "/halvex/presets", "/halvex/vis.json"},
      {nullptr, "/h", "/h/.local/share/halvex/presets", "/h/.config/halvex/vis.json"},
      {nullptr, nullptr, "./.local/share/halvex/presets", "./.config/halvex/vis.json"},
  };
  for (const Case& c : cases) {
    const ScopedEnv data("XDG_DATA_HOME", c.xdg), config("XDG_CONFIG_HOME", c.xdg),
        home("HOME", c.home);
    EXPECT_EQ(DefaultVisConfig().preset_dir, c.preset_dir);
    EXPECT_EQ(DefaultVisConfigPath(), c.config_path);
  }
}

TEST(VisConfig, NumbersAreConvertedClampedAndNotedOtherTypesKeepTheValue) {
  struct Case {
    std::string text, notes;
    int32_t fps_cap = 60;
    uint64_t mesh_x = 48;
    float preset_time = 25.0f;
    std::string node_target = "halvex_dsp";
    float render_scale = 0.0f;
  };
  const Case cases[] = {
      {R"({"render_scale": 0.5})", "", 60, 48, 25.0f, "halvex_dsp", 0.5f},
      {R"({"render_scale": 2})", "render_scale clamped to range; ", 60, 48, 25.0f, "halvex_dsp",
       1.0f},
      {R"({"render_scale": -1})", "render_scale clamped to range; ", 60, 48, 25.0f, "halvex_dsp",
       0.0f},
      {R"({"fps_cap": 10})", "fps_cap clamped to range; ", 30},
      {R"({"fps_cap": 500})", "fps_cap clamped to range; ", 240},
      {R"({"fps_cap": 72.9})", "", 72},
      {R"({"fps_cap": 1e30})", "fps_cap clamped to range; ", 240},
      {R"({"mesh_x": -5})", "mesh_x clamped to range; ", 60, 96},  // wraps to a huge unsigned
      {R"({"mesh_x": -5.5})", "mesh_x clamped to range; ", 60, 96},
      {R"({"mesh_x": 8})", "mesh_x clamped to range; ", 60, 16},
      {R"({"mesh_x": 20.7})", "", 60, 20},
      {R"({"preset_time": 1, "fps_cap": 1})",
       "preset_time clamped to range; fps_cap clamped to range; ", 30, 48, 5.0f},
      {R"({"preset_time": 1e300})", "preset_time clamped to range; ", 60, 48, 300.0f},
      {R"({"preset_time": "30", "fps_cap": true, "node_target": 3})", ""},
      {R"({"node_target": "other", "unknown": [1]})", "", 60, 48, 25.0f, "other"},
  };
  for (const Case& c : cases) {
    VisConfig config;
    std::string notes;
    ASSERT_TRUE(ParseVisConfig(c.text, config, notes)) << c.text;
    EXPECT_EQ(notes, c.notes) << c.text;
    EXPECT_EQ(config.fps_cap, c.fps_cap) << c.text;
    EXPECT_EQ(config.mesh_x, c.mesh_x) << c.text;
    EXPECT_EQ(config.preset_time, c.preset_time) << c.text;
    EXPECT_EQ(config.node_target, c.node_target) << c.text;
    EXPECT_EQ(config.render_scale, c.render_scale) << c.text;
  }
}

TEST(VisConfig, TooLargeMalformedOrNonObjectTextsAreRejectedWhole) {
  std::string at_limit = R"({"fps_cap": 30})";
  at_limit += std::string(kMaxVisConfigBytes - at_limit.size(), ' ');
  const std::pair<std::string, std::string> cases[] = {
      {at_limit + " ", "config exceeds size limit"},
      {"{\"fps_cap\": 30 // comment\n}", "config parse error: "},
      {"[1]", "config must be a JSON object"},
  };
  for (const auto& [text, notes_start] : cases) {
    VisConfig config;
    std::string notes = "earlier; ";
    EXPECT_FALSE(ParseVisConfig(text, config, notes));
    EXPECT_EQ(notes.rfind(notes_start, 0), 0u) << notes;
    EXPECT_EQ(config.fps_cap, 60);
  }
  VisConfig config;
  std::string notes;
  EXPECT_TRUE(ParseVisConfig(at_limit, config, notes));  // exactly the limit is fine
  EXPECT_EQ(config.fps_cap, 30);
}

TEST(VisCommandLine, ReadsOptionsLeftToRightAndRefusesAnythingElseWithUsage) {
  const ScopedEnv config_home("XDG_CONFIG_HOME", "/cfg");
  struct Case {
    std::vector<std::string> args;
    bool run;
    std::string message_start;
    std::string config_path = "/cfg/halvex/vis.json";
    bool fullscreen = false;
  };
  const Case cases[] = {
      {{"halvex-vis"}, true, ""},
      {{"halvex-vis", "--fullscreen", "--config", "/a.json"}, true, "", "/a.json", true},
      {{"halvex-vis", "--config", "/a.json", "--config", "/b.json"}, true, "", "/b.json"},
      {{"halvex-vis", "--config"},
       false,
       "error: unrecognised argument: --config\nUsage: halvex-vis "},
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
      EXPECT_NE(message.find("(default /cfg/halvex/vis.json)\n"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace halvex::vis
