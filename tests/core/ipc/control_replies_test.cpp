#include "core/ipc/control_replies.h"
#include "core/ipc/preset_replies.h"

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

namespace halvex {
namespace {

// What the daemon writes, a client reads back unchanged.
TEST(ReplyRoundTrip, StatusCarriesTheSwitchAndEverySettableKey) {
  ProcessorConfig changed = DefaultConfig();
  changed.spatial_algorithm = SpatialAlgorithm::kMatrixSteer;
  changed.render_target = RenderTarget::kSpeakers;
  changed.wet_dry_ratio = 0.125f;
  changed.bass = -3.5f;
  changed.treble_shelf_hz = 7250.0f;
  changed.haas_channel = 0;
  changed.alternate_tap_polarity = !changed.alternate_tap_polarity;
  changed.output_device = "alsa_output.usb-Dac_1:analog-stereo";
  for (const ProcessorConfig& config : {DefaultConfig(), changed}) {
    for (const bool enabled : {false, true}) {
      EngineStatus status;
      ASSERT_TRUE(ParseStatusLine(FormatStatusLine(enabled, config), status));
      EXPECT_TRUE(status.reachable);
      EXPECT_EQ(status.enabled, enabled);
      EXPECT_EQ(status.config, config) << FormatStatusLine(enabled, config);
    }
  }
}

TEST(ReplyRoundTrip, LatencyFigures) {
  for (const EngineLatency sent : {EngineLatency{}, EngineLatency{1536, 256, 48000},
                                   EngineLatency{999999999, 8192, 192000}}) {
    EngineLatency read{7, 7, 7};
    ASSERT_TRUE(ParseLatencyLine(FormatLatencyLine(sent), read)) << FormatLatencyLine(sent);
    EXPECT_EQ(read.engine_frames, sent.engine_frames);
    EXPECT_EQ(read.quantum, sent.quantum);
    EXPECT_EQ(read.rate, sent.rate);
  }
}

AudioDevice Device(std::string name, std::string description, int32_t priority) {
  AudioDevice device;
  device.name = std::move(name);
  device.description = std::move(description);
  device.priority = priority;
  return device;
}

TEST(ReplyRoundTrip, DevicesKeepOrderPrioritiesAndTheActiveOneWithDescriptionsBlanked) {
  const std::vector<AudioDevice> sent = {Device("hdmi", "HDMI | TV\nroom", -20),
                                         Device("usb:dac=1", "", 1000),
                                         Device("speakers", "Test Speakers", 2147483647)};
  const std::string line = FormatDeviceList(sent, "usb:dac=1");
  const std::vector<AudioDevice> read = ParseDeviceList(line);
  ASSERT_EQ(read.size(), sent.size()) << line;
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(read[i].name, sent[i].name);
    EXPECT_EQ(read[i].priority, sent[i].priority);
  }
  EXPECT_EQ(read[0].description, "HDMI   TV room");
  EXPECT_EQ(ParseActiveDevice(line).name, "usb:dac=1");
  EXPECT_EQ(ParseActiveDevice(FormatDeviceList(sent, "gone")).name, "");
  EXPECT_EQ(FormatDeviceList({}, ""), "OK devices");
  EXPECT_TRUE(ParseDeviceList(FormatDeviceList({}, "")).empty());
}

// A list longer than a client reads is sent as whole entries, and the active device stays in it
// wherever it stands in the order.
TEST(ReplyRoundTrip, AnOverlongDeviceListDropsWholeEntriesButNeverTheActiveOne) {
  std::vector<AudioDevice> sent;
  for (int i = 0; i < 200; ++i) {
    sent.push_back(Device("sink" + std::to_string(i), std::string(40, 'd'), i));
  }
  for (const char* active : {"sink0", "sink199"}) {
    const std::string line = FormatDeviceList(sent, active);
    EXPECT_LE(line.size(), kMaxReplyBytes);
    const std::vector<AudioDevice> read = ParseDeviceList(line);
    EXPECT_GT(read.size(), 10u);
    EXPECT_LT(read.size(), sent.size());
    for (const AudioDevice& device : read) EXPECT_EQ(device.description, std::string(40, 'd'));
    EXPECT_EQ(ParseActiveDevice(line).name, active);
  }
}

TEST(ReplyRoundTrip, PresetNamesTheCurrentOneAndBindings) {
  PresetState state;
  const std::vector<std::string> names = {"Day", "night.2", "x_y-z"};
  ASSERT_TRUE(ParsePresetList(FormatPresetList(names), state));
  EXPECT_EQ(state.names, names);
  ASSERT_TRUE(ParsePresetList(FormatPresetList({}), state));
  EXPECT_TRUE(state.names.empty());

  for (const std::string name : {"night.2", ""}) {
    state.current = "before";
    ASSERT_TRUE(ParseCurrentPreset(FormatCurrentPreset(name), state));
    EXPECT_EQ(state.current, name);
  }

  DeviceBindings bindings;
  bindings.devices = {{"head=set", "night.2"}, {"usb:dac", "Day"}};
  for (const std::string fallback : {"Day", ""}) {
    bindings.fallback = fallback;
    ASSERT_TRUE(ParseBindingList(FormatBindingList(bindings), state));
    EXPECT_EQ(state.devices, bindings.devices);
    EXPECT_EQ(state.fallback, fallback);
  }
}

// Lists the daemon cannot send whole are cut at an entry, within what a client reads.
TEST(ReplyLimits, PresetAndStreamListsStopAtTheLastWholeEntry) {
  const std::vector<std::string> names(100, std::string(64, 'p'));
  PresetState state;
  const std::string list = FormatPresetList(names);
  EXPECT_LE(list.size(), kMaxReplyBytes);
  ASSERT_TRUE(ParsePresetList(list, state));
  EXPECT_EQ(state.names.size(), (kMaxReplyBytes - 10) / 65);
  for (const std::string& name : state.names) EXPECT_EQ(name, names[0]);

  const std::vector<PlaybackStream> streams(300, PlaybackStream{"player|x\tq", true});
  const std::string line = FormatStreamList(streams);
  EXPECT_LE(line.size(), kMaxReplyBytes);
  const std::vector<std::string> entries = SplitAt(line, '\t');
  EXPECT_EQ(entries[0], "OK streams");
  EXPECT_EQ(entries.size() - 1, (kMaxReplyBytes - 10) / 20);
  EXPECT_EQ(entries[1], "player x q|bypassed");
}

}  // namespace
}  // namespace halvex
