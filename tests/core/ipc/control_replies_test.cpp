#include "core/ipc/control_replies.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

TEST(StatusLine, RebuildsSwitchAndConfigurationSkippingWordsItCannotUse) {
  struct Case {
    const char* line;
    bool reachable, enabled;
    float wet_dry;
  };
  const Case cases[] = {
      {"OK enabled=1 wet_dry_ratio=0.5", true, true, 0.5f},
      {"OK enabled=yes", true, false, 1.0f},
      {"OK\tenabled=1 =0.5 wet_dry_ratio= novalue no_such_key=3 bass=abc\r", true, true, 1.0f},
      {"ERR cannot reach halvexd (is it running? /x)", false, false, 1.0f},
      {"ok enabled=1 wet_dry_ratio=0.5", false, false, 1.0f},
      {"", false, false, 1.0f},
  };
  for (const Case& c : cases) {
    EngineStatus status;
    status.config.bass = 0.5f;  // whatever was there before is reset
    EXPECT_EQ(ParseStatusLine(c.line, status), c.reachable) << c.line;
    EXPECT_EQ(status.reachable, c.reachable) << c.line;
    EXPECT_EQ(status.enabled, c.enabled) << c.line;
    ProcessorConfig expected = DefaultConfig();
    expected.wet_dry_ratio = c.wet_dry;
    EXPECT_EQ(status.config, expected) << c.line;
  }
}

TEST(DeviceList, KeepsNameDescriptionAndPriorityOfWellFormedPieces) {
  const std::vector<AudioDevice> devices = ParseDeviceList(
      "OK devices\tspeakers|Test Speakers|1000|1\tshort|two\t|No name|5|0\tusb|USB DAC|-20x|0"
      "\tbt|Phones||0|extra");
  ASSERT_EQ(devices.size(), 3u);
  const std::pair<std::string, int32_t> expected[] = {{"speakers", 1000}, {"usb", -20}, {"bt", 0}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(devices[i].name, expected[i].first);
    EXPECT_EQ(devices[i].priority, expected[i].second);
    EXPECT_EQ(devices[i].id + devices[i].serial, 0u);
  }
  EXPECT_EQ(devices[1].description, "USB DAC");
  for (const char* line : {"OK devices", "OK devic", "ERR unknown command: x", "OK enabled=1\ta|b|1|1"}) {
    EXPECT_TRUE(ParseDeviceList(line).empty()) << line;
  }
}

TEST(LatencyLine, ReadsTheThreeFiguresAndRefusesAnythingElseWholesale) {
  EngineLatency latency;
  ASSERT_TRUE(ParseLatencyLine("OK latency engine=1024 quantum=256 rate=48000", latency));
  EXPECT_EQ(latency.engine_frames, 1024u);
  EXPECT_EQ(latency.quantum, 256u);
  EXPECT_EQ(latency.rate, 48000u);
  for (const char* bad : {"ERR unknown command: latency", "", "OK latency",
                          "OK latency engine=1 quantum=2", "OK latency quantum=2 engine=1 rate=3",
                          "OK latency engine=-1 quantum=256 rate=48000",
                          "OK latency engine=1x quantum=256 rate=48000",
                          "OK latency engine= quantum=256 rate=48000",
                          "OK latency engine=99999999999 quantum=256 rate=48000",
                          "OK status engine=1 quantum=2 rate=3"}) {
    EXPECT_FALSE(ParseLatencyLine(bad, latency)) << bad;
    EXPECT_EQ(latency.engine_frames, 1024u) << "a refused line must leave the figures alone";
  }
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

TEST(PresetReplies, RebuildTheListTheCurrentPresetTheBindingsAndTheActiveDevice) {
  PresetState state;
  EXPECT_TRUE(ParsePresetList("OK presets\tDay\tnight", state));
  EXPECT_EQ(state.names, (std::vector<std::string>{"Day", "night"}));
  EXPECT_TRUE(ParsePresetList("OK presets", state));
  EXPECT_TRUE(state.names.empty());
  EXPECT_FALSE(ParsePresetList("ERR no", state));

  EXPECT_TRUE(ParseCurrentPreset("OK preset night", state));
  EXPECT_EQ(state.current, "night");
  EXPECT_TRUE(ParseCurrentPreset("OK preset none", state));
  EXPECT_EQ(state.current, "");
  state.current = "kept";
  EXPECT_FALSE(ParseCurrentPreset("OK preset saved x", state));
  EXPECT_FALSE(ParseCurrentPreset("ERR unknown command: preset", state));
  EXPECT_EQ(state.current, "kept");

  EXPECT_TRUE(ParseBindingList("OK bindings\thead=set=night\tspk=Day\t*=Day\tjunk", state));
  EXPECT_EQ(state.devices,
            (std::map<std::string, std::string>{{"head=set", "night"}, {"spk", "Day"}}));
  EXPECT_EQ(state.fallback, "Day");

  state.active = ParseActiveDevice("OK devices\tspk|Speakers|5|0\thead=set|Head Set|1|1");
  EXPECT_EQ(state.active.name, "head=set");
  EXPECT_EQ(state.active.description, "Head Set");
  EXPECT_EQ(state.BoundToActive(), "night");
  state.active = ParseActiveDevice("OK devices\thdmi|HDMI|1|1");
  EXPECT_EQ(state.BoundToActive(), "Day") << "the fallback";
  state.active = ParseActiveDevice("OK devices\thdmi|HDMI|1|0");
  EXPECT_EQ(state.BoundToActive(), "") << "no active device, no preset";
}

}  // namespace
}  // namespace halvex
