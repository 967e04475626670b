#include "core/config/json_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/config/config_validation.h"
#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;

// Parses and returns "ok" or the error; a failed parse must leave `config` alone.
std::string Parse(const std::string& text, ProcessorConfig& config) {
  ProcessorConfig marker = DefaultConfig();
  marker.output_device = "marker";
  config = marker;
  std::string error;
  if (ParseConfigJson(text, config, error)) return "ok";
  EXPECT_EQ(config, marker) << "a failed parse changed the record";
  return error;
}

std::string Parse(const std::string& text) {
  ProcessorConfig config;
  return Parse(text, config);
}

TEST(ConfigText, EnforcesTheSizeLimitAndTheNestingPrescan) {
  std::string exact = "{}";
  exact.resize(kMaxConfigBytes, ' ');
  EXPECT_EQ(Parse(exact), "ok");
  EXPECT_EQ(Parse(exact + " "), "config exceeds size limit");

  auto nested = [](int depth) {  // an object holding depth-1 nested arrays
    return "{\"x\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  EXPECT_EQ(Parse(nested(64)), "ok");
  EXPECT_EQ(Parse(nested(65)), "config nesting too deep");
  EXPECT_EQ(Parse("{\"x\": \"" + std::string(64, '{') + "\"}"), "config nesting too deep");
  // Closers never take the count below zero, so leading ones buy no depth.
  EXPECT_EQ(Parse("]]]]" + std::string(65, '[')), "config nesting too deep");
}

TEST(ConfigText, IsStrictJson) {
  EXPECT_EQ(Parse("{\"distance\": 2 /* near */}").rfind("json parse error: ", 0), 0u);
  EXPECT_EQ(Parse("{\"distance\": 2} x").rfind("json parse error: ", 0), 0u);
  EXPECT_EQ(Parse("").rfind("json parse error: ", 0), 0u);
  EXPECT_EQ(Parse("{\"distance\": 1e999}").rfind("json parse error: ", 0), 0u);
  EXPECT_EQ(Parse("{\"output_device\": \"\xff\"}").rfind("json parse error: ", 0), 0u);
}

TEST(ConfigText, MissingKeysComeFromTheDefaultsAndUnknownOnesAreIgnored) {
  ProcessorConfig config;
  ASSERT_EQ(Parse("{\"distance\": 2, \"future_key\": [1, {}]}", config), "ok");
  ProcessorConfig expected = DefaultConfig();
  expected.distance = 2.0f;
  EXPECT_EQ(config, expected);
  EXPECT_EQ(Parse("{\"distance\": 99}"), "distance out of [1,8]");

  ASSERT_EQ(Parse(R"({"output_device": "auto", "haas_channel": "R", "enabled": true,
                      "spatial_algorithm": "matrix_steer", "render_target": "speakers"})",
                  config),
            "ok");
  EXPECT_EQ(config.output_device, "auto");
  EXPECT_EQ(config.haas_channel, 0);
  EXPECT_TRUE(config.enabled);
  EXPECT_EQ(config.spatial_algorithm, SpatialAlgorithm::kMatrixSteer);
  EXPECT_EQ(config.render_target, RenderTarget::kSpeakers);
}

TEST(ConfigText, NumbersAcceptBooleansAndIntegersAreCutTowardZero) {
  ProcessorConfig config;
  ASSERT_EQ(Parse(R"({"buffer_size_frames": 1024.9, "bit_depth": -7.9,
                      "sample_rate_hz": true, "wet_dry_ratio": false, "distance": 3})",
                  config),
            "ok");
  EXPECT_EQ(config.buffer_size_frames, 1024);
  EXPECT_EQ(config.bit_depth, -7);
  EXPECT_EQ(config.sample_rate_hz, 1);
  EXPECT_EQ(config.wet_dry_ratio, 0.0f);
  EXPECT_EQ(config.distance, 3.0f);
  // A value no int32 can hold has no defined cut.
  EXPECT_EQ(Parse(R"({"sample_rate_hz": 1e12})"), "sample_rate_hz is out of the 32-bit integer range");
  EXPECT_EQ(Parse(R"({"bit_depth": -2147483649})"), "bit_depth is out of the 32-bit integer range");
  // Beyond float range becomes infinite and fails validation.
  EXPECT_EQ(Parse(R"({"bass": 1e300})"), "bass out of [0.3,1]");
}

TEST(ConfigText, WrongTypesFailWithAMessageNamingTheKey) {
  EXPECT_EQ(Parse("[]"), "config root must be a JSON object");
  EXPECT_EQ(Parse("{\"spatial_algorithm\": 2}"), "spatial_algorithm must be a string");
  EXPECT_EQ(Parse("{\"spatial_algorithm\": \"Deep_field\"}"),
            "spatial_algorithm must be \"echo_widener\", \"experimental\", \"deep_field\", "
            "\"matrix_surround\" or \"matrix_steer\"");
  EXPECT_EQ(Parse("{\"render_target\": \"headphone\"}"),
            "render_target must be \"speakers\" or \"headphones\"");
  EXPECT_EQ(Parse("{\"haas_channel\": 1}"), "haas_channel must be a string");
  EXPECT_EQ(Parse("{\"haas_channel\": \"l\"}"), "haas_channel must be \"L\" or \"R\"");
  EXPECT_EQ(Parse("{\"tap_volumes\": [0.5, 0.25, 0.125]}"),
            "tap_volumes must be an array of 4 numbers");
  EXPECT_EQ(Parse("{\"tap_multipliers\": 3}"), "tap_multipliers must be an array of 4 numbers");
  EXPECT_EQ(Parse("{\"tap_volumes\": [0.5, \"0.25\", 0.125, 0]}"), "tap_volumes must be numbers");
  EXPECT_EQ(Parse("{\"tap_volumes\": [0.5, true, 0.125, 0]}"), "tap_volumes must be numbers");
  EXPECT_EQ(Parse("{\"distance\": \"2\"}"), "distance must be a number");
  EXPECT_EQ(Parse("{\"hot_reload\": 1}"), "hot_reload must be true or false");
  EXPECT_EQ(Parse("{\"output_device\": null}"), "output_device must be a string");
  EXPECT_EQ(Parse("{\"bands\": [{\"freq_hz\": 1}, 5]}"), "bands must be an array of objects");
  EXPECT_EQ(Parse("{\"bands\": [{\"l_base_ms\": \"1\"}]}"), "bands l_base_ms must be a number");
  EXPECT_EQ(Parse("{\"bands\": [{\"freq_hz\": 1e300}]}"), "bands freq_hz is out of range");
  // The name keys are read first, in a fixed order.
  EXPECT_EQ(Parse("{\"spatial_algorithm\": 1, \"haas_channel\": \"x\", \"distance\": 99}"),
            "haas_channel must be \"L\" or \"R\"");
}

TEST(ConfigText, BandsReplaceTheTableOnlyWhenANonEmptyArray) {
  ProcessorConfig config;
  ASSERT_EQ(Parse("{\"bands\": []}", config), "ok");
  EXPECT_EQ(config.bands, DefaultConfig().bands);
  ASSERT_EQ(Parse("{\"bands\": {\"freq_hz\": 5}}", config), "ok");
  EXPECT_EQ(config.bands, DefaultConfig().bands);
  ASSERT_EQ(Parse("{\"bands\": [{\"freq_hz\": 500}, {\"r_base_ms\": 2, \"l_base_ms\": 1, "
                  "\"freq_hz\": 900}]}",
                  config),
            "ok");
  ASSERT_EQ(config.bands.size(), 2u);
  EXPECT_EQ(config.bands[0], (BandParam{500.0f, 0.0f, 0.0f}));
  EXPECT_EQ(config.bands[1], (BandParam{900.0f, 1.0f, 2.0f}));
  // A row without a frequency reads as 0 Hz, which no band edge can be built from.
  EXPECT_EQ(Parse("{\"bands\": [{\"r_base_ms\": 2, \"l_base_ms\": 1}]}"),
            "a band frequency must be a positive number");
  EXPECT_EQ(Parse("{\"bands\": [{\"l_base_ms\": 5.4, \"freq_hz\": 100}]}"),
            "a band's longest tap exceeds the 25 ms Haas zone");
}

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  static void Write(const std::string& path, const std::string& text) {
    test::WriteText(path, text);
  }
  static std::string Read(const std::string& path) { return test::Slurp(path); }

  // What a folder holds, so a test can see that no temporary was left.
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TempDir tmp_;
  std::string dir_ = tmp_.path();
  std::string path_ = dir_ + "/halvex/config.json";
};

TEST_F(ConfigFile, LoadFallsBackToTheLastGoodConfig) {
  JsonConfigProvider provider(path_);
  ProcessorConfig config;
  config.distance = 5.0f;
  EXPECT_FALSE(provider.Load(config));
  EXPECT_EQ(provider.LastError(), "cannot open or oversized config file: " + path_);
  EXPECT_EQ(config, DefaultConfig());

  fs::create_directories(dir_ + "/halvex");
  Write(path_, "{\"distance\": 2}");
  ASSERT_TRUE(provider.Load(config)) << provider.LastError();
  EXPECT_EQ(config.distance, 2.0f);

  Write(path_, "{\"distance\": 99}");
  config = ProcessorConfig();
  EXPECT_FALSE(provider.Load(config));
  EXPECT_EQ(provider.LastError(), "distance out of [1,8]");
  EXPECT_EQ(config.distance, 2.0f);

  fs::remove(path_);
  fs::create_directory(path_);  // a directory is no config file
  EXPECT_FALSE(provider.Load(config));
  EXPECT_EQ(provider.LastError(), "cannot open or oversized config file: " + path_);
  EXPECT_EQ(config.distance, 2.0f);
}

TEST_F(ConfigFile, LoadReadsExactlyOneMebibyte) {
  const std::string path = dir_ + "/big.json";
  std::string text = "{\"air\": 0.5}";
  text.resize(kMaxConfigBytes, '\n');
  Write(path, text);
  JsonConfigProvider provider(path);
  ProcessorConfig config;
  ASSERT_TRUE(provider.Load(config)) << provider.LastError();
  EXPECT_EQ(config.air, 0.5f);
  Write(path, text + "\n");
  EXPECT_FALSE(provider.Load(config));
  EXPECT_EQ(provider.LastError(), "cannot open or oversized config file: " + path);
}

TEST_F(ConfigFile, SaveWritesSortedRoundedTextThatLoadsBack) {
  ProcessorConfig saved = DefaultConfig();
  saved.wet_dry_ratio = 0.1f;
  saved.field_level = -12.3456789f;
  saved.haas_channel = 0;
  saved.output_device = "auto";
  saved.spatial_algorithm = SpatialAlgorithm::kMatrixSurround;
  saved.bands = {{100.0f, 1.25f, 0.5f}};
  JsonConfigProvider provider(path_);  // the parent folder does not exist yet
  std::string error;
  ASSERT_TRUE(provider.Save(saved, error)) << error;

  const std::string text = Read(path_);
  EXPECT_NE(text.find("\"wet_dry_ratio\": 0.1,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"field_level\": -12.345679,"), std::string::npos) << text;
  EXPECT_NE(text.find("\"haas_channel\": \"R\""), std::string::npos);
  EXPECT_NE(text.find("\"buffer_size_frames\": 2048,"), std::string::npos);
  EXPECT_LT(text.find("\"air\""), text.find("\"alternate_tap_polarity\""));
  EXPECT_LT(text.find("\"ambience_spread\""), text.find("\"bands\""));
  EXPECT_LT(text.find("\"bands\""), text.find("\"bass\""));
  EXPECT_EQ(text.rfind("\n}\n"), text.size() - 3);
  EXPECT_EQ(Names(dir_ + "/halvex"), std::vector<std::string>{"config.json"});

  ProcessorConfig loaded;
  JsonConfigProvider reader(path_);
  ASSERT_TRUE(reader.Load(loaded)) << reader.LastError();
  ProcessorConfig expected = saved;
  expected.field_level = -12.345679f;
  EXPECT_EQ(loaded, expected);
}

TEST_F(ConfigFile, AnEmptyBandListIsLeftOutAndReadsBackAsTheDefaults) {
  ProcessorConfig saved = DefaultConfig();
  saved.bands.clear();
  JsonConfigProvider provider(path_);
  std::string error;
  ASSERT_TRUE(provider.Save(saved, error)) << error;
  EXPECT_EQ(Read(path_).find("bands"), std::string::npos);
  ProcessorConfig loaded;
  ASSERT_TRUE(provider.Load(loaded)) << provider.LastError();
  EXPECT_EQ(loaded.bands, DefaultConfig().bands);
}

TEST_F(ConfigFile, SaveReplacesTheFileByRenameAndRefusesInvalidRecords) {
  JsonConfigProvider provider(path_);
  std::string error;
  ProcessorConfig first = DefaultConfig();
  first.distance = 2.0f;
  ASSERT_TRUE(provider.Save(first, error)) << error;
  const std::string old_text = Read(path_);
  // A second name for the old file keeps the old text if the file is
  // replaced rather than rewritten in place.
  const std::string link = dir_ + "/old.json";
  fs::create_hard_link(path_, link);

  ProcessorConfig second = DefaultConfig();
  second.distance = 3.0f;
  ASSERT_TRUE(provider.Save(second, error)) << error;
  EXPECT_EQ(Read(link), old_text);
  EXPECT_NE(Read(path_), old_text);

  ProcessorConfig invalid = DefaultConfig();
  invalid.wet_dry_ratio = 2.0f;
  const std::string before = Read(path_);
  EXPECT_FALSE(provider.Save(invalid, error));
  EXPECT_EQ(error, "refusing to save an invalid config: wet_dry_ratio out of [0,1]");
  EXPECT_EQ(Read(path_), before);

  // Valid as floats, but equal once rounded to six decimals.
  invalid = DefaultConfig();
  invalid.tap_multipliers = {1.0f, 1.0000001f, 2.0f, 3.0f};
  ASSERT_TRUE(ValidateConfig(invalid, error)) << error;
  EXPECT_FALSE(provider.Save(invalid, error));
  EXPECT_EQ(error,
            "refusing to save an invalid config: tap_multipliers must be strictly increasing in "
            "(0,10]");
  EXPECT_EQ(Read(path_), before);

  // The last good record is still the second one.
  Write(path_, "not json");
  ProcessorConfig loaded;
  EXPECT_FALSE(provider.Load(loaded));
  EXPECT_EQ(loaded, second);
}

TEST_F(ConfigFile, FailedSavesLeaveNoTemporaryFileAndTheOldFileIntact) {
  // Renaming a file over a non-empty directory fails.
  fs::create_directories(path_ + "/inside");
  JsonConfigProvider provider(path_);
  std::string error;
  EXPECT_FALSE(provider.Save(DefaultConfig(), error));
  EXPECT_EQ(error, "cannot replace " + path_);
  EXPECT_EQ(Names(dir_ + "/halvex"), std::vector<std::string>{"config.json"});
  EXPECT_TRUE(fs::is_directory(path_ + "/inside"));

  // A name with no room left for the temporary's suffix.
  const std::string other = dir_ + "/" + std::string(250, 'o');
  Write(other, "{}");
  JsonConfigProvider blocked(other);
  EXPECT_FALSE(blocked.Save(DefaultConfig(), error));
  EXPECT_EQ(error, "cannot write " + other + ".tmp");
  EXPECT_EQ(Read(other), "{}");

  Write(dir_ + "/plain", "");
  JsonConfigProvider orphan(dir_ + "/plain/sub/config.json");
  EXPECT_FALSE(orphan.Save(DefaultConfig(), error));
  EXPECT_EQ(error.rfind("cannot create " + dir_ + "/plain/sub: ", 0), 0u) << error;
  EXPECT_GT(error.size(), ("cannot create " + dir_ + "/plain/sub: ").size());
}

}  // namespace
}  // namespace halvex
