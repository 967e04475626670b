#include "core/config/preset_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "core/config/config_defaults.h"
#include "core/config/device_bindings.h"
#include "core/config/preset_name.h"
#include "tests/cli/wav_bytes.h"
#include "tests/support/other_user.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(PresetName, AcceptsOnlyPlainNamesThatStayInTheirFolder) {
  for (const std::string& good : std::vector<std::string>{"a", "Rock-2", "late_night.v2", "x.",
                                                          std::string(64, 'n')}) {
    EXPECT_TRUE(IsValidPresetName(good)) << good;
  }
  for (const std::string& bad : std::vector<std::string>{
           std::string(), std::string(65, 'n'), std::string(".hidden"), std::string(".."),
        std::string("../x"), std::string("a/b"), std::string("a b"), std::string("a\tb"),
        std::string("a\x01"), std::string("caf\xc3\xa9"), std::string("a\0b", 3),
        std::string("a=b"), std::string("*")}) {
    EXPECT_FALSE(IsValidPresetName(bad)) << bad;
  }
}

TEST(PresetText, HoldsEverySettingButTheOutputDevice) {
  ProcessorConfig config = DefaultConfig();
  config.output_device = "alsa_output.headset";
  config.wet_dry_ratio = 0.1f;
  const nlohmann::json preset = nlohmann::json::parse(PresetToJson(config));
  EXPECT_FALSE(preset.contains("output_device"));
  EXPECT_FALSE(preset.contains("enabled"));
  EXPECT_FALSE(preset.contains("bands"));
  EXPECT_EQ(preset.size(), PresetKeys().size());
  for (const std::string& key : PresetKeys()) EXPECT_TRUE(preset.contains(key)) << key;
  EXPECT_EQ(preset["wet_dry_ratio"].dump(), "0.1");
}

TEST(PresetText, LaysOnlyItsOwnKeysOverTheBase) {
  ProcessorConfig base = DefaultConfig();
  base.output_device = "speakers";
  base.enabled = false;
  base.bass = 0.5f;
  base.buffer_size_frames = 256;

  ProcessorConfig out;
  std::string error;
  ASSERT_TRUE(ApplyPresetJson(R"({"wet_dry_ratio": 0.25, "output_device": "elsewhere",
                                   "buffer_size_frames": 64, "enabled": true})",
                              base, out, error))
      << error;
  EXPECT_FLOAT_EQ(out.wet_dry_ratio, 0.25f);
  EXPECT_FLOAT_EQ(out.bass, 0.5f);             // absent from the preset: kept
  EXPECT_EQ(out.output_device, "speakers");    // never a preset's business
  EXPECT_FALSE(out.enabled);
  EXPECT_EQ(out.buffer_size_frames, 256);      // not a settable key

  // A full round trip gives back the settings that were saved.
  ProcessorConfig saved = DefaultConfig();
  saved.spatial_algorithm = SpatialAlgorithm::kMatrixSteer;
  saved.haas_channel = 0;
  saved.treble_shelf_db = -2.5f;
  ASSERT_TRUE(ApplyPresetJson(PresetToJson(saved), base, out, error)) << error;
  saved.output_device = base.output_device;
  saved.enabled = base.enabled;
  saved.buffer_size_frames = base.buffer_size_frames;
  EXPECT_EQ(out, saved);
}

TEST(PresetText, RefusesBrokenOrInvalidTextWithTheParsersMessage) {
  const ProcessorConfig base = DefaultConfig();
  ProcessorConfig out = base;
  out.output_device = "marker";
  const struct {
    const char* text;
    const char* message_start;
  } cases[] = {
      {"{", "json parse error: "},
      {R"({"distance": 99})", "distance out of [1,8]"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ApplyPresetJson(c.text, base, out, error)) << c.text;
    EXPECT_EQ(error.rfind(c.message_start, 0), 0u) << c.text << " gave: " << error;
    EXPECT_EQ(out.output_device, "marker") << "a refused preset changed the record";
  }
}

TEST(PresetStoreFiles, SavesListsLoadsAndRemovesInsideItsFolder) {
  TempDir dir;
  PresetStore store(PresetFolderFor(dir.File("config.json")));
  EXPECT_EQ(store.Folder(), dir.File("presets"));
  EXPECT_TRUE(store.List().empty()) << "a missing folder is an empty list";

  ProcessorConfig config = DefaultConfig();
  config.distance = 4.0f;
  std::string error;
  ASSERT_TRUE(store.Save("night", config, error)) << error;
  config.distance = 2.0f;
  ASSERT_TRUE(store.Save("Day", config, error)) << error;
  // Files that are no presets of ours are not listed.
  WriteText(dir.File("presets/.hidden.json"), "{}");
  WriteText(dir.File("presets/notes.txt"), "{}");
  WriteText(dir.File("presets/night.json.tmp"), "{");
  fs::create_directory(dir.File("presets/folder.json"));

  EXPECT_EQ(store.List(), (std::vector<std::string>{"Day", "night"}));
  EXPECT_TRUE(store.Exists("night"));
  EXPECT_FALSE(store.Exists("folder"));

  ProcessorConfig loaded;
  ASSERT_TRUE(store.Load("night", DefaultConfig(), loaded, error)) << error;
  EXPECT_FLOAT_EQ(loaded.distance, 4.0f);
  EXPECT_FALSE(store.Load("missing", DefaultConfig(), loaded, error));

  ASSERT_TRUE(store.Remove("night", error)) << error;
  EXPECT_EQ(store.List(), (std::vector<std::string>{"Day"}));
  EXPECT_FALSE(store.Remove("night", error));
  EXPECT_NE(error.find("cannot remove"), std::string::npos) << error;
}

TEST(PresetStoreFiles, LiveBesideTheNamedFileElseUnderAnAbsoluteXdgConfigHome) {
  EXPECT_EQ(PresetAnchor("/etc/h.json", true, "/x"), "/etc/h.json");
  EXPECT_EQ(PresetAnchor("/home/u/.config/halvex/config.json", false, "/x"),
            "/x/halvex/config.json");
  for (const char* ignored : {static_cast<const char*>(nullptr), "", "relative"}) {
    EXPECT_EQ(PresetAnchor("/home/u/c.json", false, ignored), "/home/u/c.json");
  }
  EXPECT_EQ(PresetFolderFor("/x/halvex/config.json"), "/x/halvex/presets");
  EXPECT_EQ(BindingsPathFor("/x/halvex/config.json"), "/x/halvex/bindings.json");
}

TEST(PresetStoreFiles, AFolderThatCannotBeMadeRefusesTheSaveWithTheReason) {
  TempDir dir;
  WriteText(dir.File("presets"), "not a folder");
  PresetStore store(dir.File("presets"));
  std::string error;
  EXPECT_FALSE(store.Save("x", DefaultConfig(), error));
  EXPECT_EQ(error.rfind("cannot create " + dir.File("presets") + ": ", 0), 0u) << error;
  EXPECT_TRUE(store.List().empty());
}

TEST(PresetStoreFiles, AFolderThatCannotBeWrittenRefusesTheSaveWithTheReason) {
  if (!test::CanActAsAnotherUser()) GTEST_SKIP() << "needs root to save as a user who may not write";
  char folder[] = "/tmp/halvex-readonly-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  ASSERT_EQ(::chmod(folder, 0755), 0);  // root's: nobody may look in but not write
  PresetStore store(folder);
  const std::string expected = std::string("cannot write ") + folder + "/x.json.tmp: Permission denied";
  EXPECT_TRUE(test::AsNobody([&] {
    std::string error;
    return !store.Save("x", DefaultConfig(), error) && error == expected;
  }));
  EXPECT_TRUE(fs::is_empty(folder));
  fs::remove_all(folder);
}

TEST(DeviceBindingsFile, RoundTripsAndRefusesWhatItCannotTrust) {
  DeviceBindings bindings;
  bindings.devices["alsa_output.headset"] = "night";
  bindings.devices["alsa_output.speakers"] = "Day";
  bindings.fallback = "Day";
  bindings.bypass = {"Voice Chat", "daw"};
  DeviceBindings parsed;
  std::string error;
  ASSERT_TRUE(ParseBindingsJson(BindingsToJson(bindings), parsed, error)) << error;
  EXPECT_EQ(parsed, bindings);

  EXPECT_EQ(*PresetForDevice(bindings, "alsa_output.headset"), "night");
  EXPECT_EQ(*PresetForDevice(bindings, "hdmi"), "Day");
  bindings.fallback.clear();
  EXPECT_EQ(PresetForDevice(bindings, "hdmi"), nullptr);

  for (const char* bad : {"[]", R"({"devices": {"x": "../up"}})", R"({"devices": {"a\tb": "x"}})",
                          R"({"fallback": 1})",
                          R"({"bypass": [1]})", "{"}) {
    DeviceBindings untouched = parsed;
    EXPECT_FALSE(ParseBindingsJson(bad, untouched, error)) << bad;
    EXPECT_EQ(untouched, parsed) << bad;
  }

  TempDir dir;
  const std::string path = BindingsPathFor(dir.File("config.json"));
  ASSERT_TRUE(LoadBindingsFile(path, parsed, error)) << "a missing file is no bindings";
  EXPECT_EQ(parsed, DeviceBindings{});
  DeviceBindings not_utf8;
  not_utf8.bypass = {"bad \xff name"};
  EXPECT_FALSE(SaveBindingsFile(path, not_utf8, error));
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace halvex
