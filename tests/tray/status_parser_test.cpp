#include "tray/status_parser.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

TEST(StatusLine, RebuildsSwitchAndConfigurationFromTheWords) {
  EngineStatus status;
  ASSERT_TRUE(ParseStatusLine("OK enabled=1 wet_dry_ratio=0.5", status));
  ProcessorConfig expected = DefaultConfig();
  expected.wet_dry_ratio = 0.5f;
  EXPECT_TRUE(status.reachable);
  EXPECT_TRUE(status.enabled);
  EXPECT_EQ(status.config, expected);
}

TEST(StatusLine, SkipsWordsThatAreNotPairsOrThatTheTableRejects) {
  struct Case {
    const char* line;
    bool enabled;
  };
  const Case cases[] = {
      {"OK enabled=yes", false},
      {"OK enabled=1 =0.5 wet_dry_ratio= novalue", true},
      {"OK enabled=1 no_such_key=3 wet_dry_ratio=abc haas_channel=left", true},
      {"OK\tenabled=1\r", true},
  };
  for (const Case& c : cases) {
    EngineStatus status;
    ASSERT_TRUE(ParseStatusLine(c.line, status)) << c.line;
    EXPECT_EQ(status.enabled, c.enabled) << c.line;
    EXPECT_EQ(status.config, DefaultConfig()) << c.line;
  }
}

TEST(StatusLine, AnythingButOkIsUnreachableAndResetsWhatWasThere) {
  for (const char* line : {"ERR cannot reach halvexd (is it running? /x)", "", "OKAY enabled=1",
                           "ok enabled=1", "  "}) {
    EngineStatus status;
    status.reachable = status.enabled = true;
    status.config.wet_dry_ratio = 0.1f;
    EXPECT_FALSE(ParseStatusLine(line, status)) << line;
    EXPECT_FALSE(status.reachable);
    EXPECT_FALSE(status.enabled);
    EXPECT_EQ(status.config, DefaultConfig());
  }
}

TEST(StatusLine, ReadsEveryKeyTheDaemonReports) {
  EngineStatus status;
  ASSERT_TRUE(ParseStatusLine(
      "OK enabled=0 spatial_algorithm=matrix_steer render_target=speakers output_device=usb-dac "
      "haas_channel=R treble_shelf_hz=8000 alternate_tap_polarity=0",
      status));
  EXPECT_EQ(status.config.spatial_algorithm, SpatialAlgorithm::kMatrixSteer);
  EXPECT_EQ(status.config.render_target, RenderTarget::kSpeakers);
  EXPECT_EQ(status.config.output_device, "usb-dac");
  EXPECT_EQ(status.config.haas_channel, 0);
  EXPECT_EQ(status.config.treble_shelf_hz, 8000.0f);
  EXPECT_FALSE(status.config.alternate_tap_polarity);
}

TEST(DeviceList, KeepsNameDescriptionAndPriorityOfWellFormedPieces) {
  const std::vector<AudioDevice> devices = ParseDeviceList(
      "OK devices\tspeakers|Test Speakers|1000|1\tshort|two\t|No name|5|0\tusb|USB DAC|-20x|0"
      "\tbt|Phones||0|extra");
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0].name, "speakers");
  EXPECT_EQ(devices[0].description, "Test Speakers");
  EXPECT_EQ(devices[0].priority, 1000);
  EXPECT_EQ(devices[1].name, "usb");
  EXPECT_EQ(devices[1].priority, -20);
  EXPECT_EQ(devices[2].name, "bt");
  EXPECT_EQ(devices[2].description, "Phones");
  EXPECT_EQ(devices[2].priority, 0);
  for (const AudioDevice& d : devices) {
    EXPECT_EQ(d.id, 0u);
    EXPECT_EQ(d.serial, 0u);
  }
}

TEST(DeviceList, IsEmptyForAnythingButADevicesReply) {
  for (const char* line : {"OK devices", "OK devices\t", "OK devic", "ERR unknown command: x", "",
                           "OK enabled=1\tspeakers|Test|1|1"}) {
    EXPECT_TRUE(ParseDeviceList(line).empty()) << line;
  }
}

}  // namespace
}  // namespace halvex
