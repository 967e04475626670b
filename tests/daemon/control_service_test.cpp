#include "daemon/control_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/daemon/control_fakes.h"
#include "tests/daemon/conversation.h"

namespace halvex {
namespace {

class ControlServiceTest : public ::testing::Test {
 protected:
  FakeEngine engine;
  FakeProvider provider;
  ControlService service{engine, provider};
};

TEST_F(ControlServiceTest, RejectsEmptyUnknownAndIncompleteCommands) {
  ExpectConversation(service, {
      {"", "ERR empty command"},
      {" \t\r\n\v\f", "ERR empty command"},
      {"STATUS", "ERR unknown command: STATUS"},
      {"  frob  status", "ERR unknown command: frob"},
      {"set", "ERR usage: set <key> <value>"},
      {"set wet_dry_ratio", "ERR usage: set <key> <value>"},
  });
  EXPECT_EQ(engine.reconfigure_calls, 0);
  EXPECT_TRUE(provider.saved.empty());
}

// Echoed words come back with control bytes escaped: a terminal that prints the reply must not
// run an escape sequence, and a NUL must not end the reply early.
TEST_F(ControlServiceTest, EchoedInputShowsControlBytesEscaped) {
  EXPECT_EQ(service.Handle("\x1b[2Jfrob"), "ERR unknown command: \\x1b[2Jfrob");
  EXPECT_EQ(service.Handle(std::string("a\0b\x7f", 4)), "ERR unknown command: a\\x00b\\x7f");
  // Parser messages that quote the key or value get the same treatment.
  for (const char* line : {"set \x1b]0;x 0.5", "set wet_dry_ratio 0.5\x1b[m", "set output_device a\x07"}) {
    const std::string reply = service.Handle(line);
    EXPECT_EQ(reply.rfind("ERR ", 0), 0u) << reply;
    EXPECT_TRUE(std::none_of(reply.begin(), reply.end(), [](char c) { return c > 0 && c < 0x20; }))
        << reply;
  }
}

TEST_F(ControlServiceTest, StatusListsTheSwitchThenEveryKeyInProtocolOrder) {
  engine.enabled = true;
  engine.config.enabled = false;  // the engine's switch wins over the record
  engine.config.wet_dry_ratio = 0.25f;
  engine.config.output_device = "speakers";
  const std::string reply = service.Handle("status\r\n");

  ASSERT_EQ(reply.rfind("OK enabled=1 ", 0), 0u) << reply;
  const std::vector<std::string> keys = {
      "spatial_algorithm", "render_target", "ambience_spread", "ambience_depth", "direct_spread",
      "distance", "field_size", "field_level", "air", "envelopment", "recycle", "widen_scale",
      "echo_side_gain", "echo_mid_gain", "steer_amount", "steer_depth", "stft_expand",
      "alternate_tap_polarity", "output_device", "centre_width", "dimension", "panorama",
      "surround_gain", "bass", "treble_shelf_db", "treble_shelf_hz", "wet_dry_ratio",
      "haas_delay_ms", "haas_channel", "quantum"};
  size_t pos = 0;
  for (const std::string& key : keys) {
    const size_t found = reply.find(" " + key + "=", pos);
    ASSERT_NE(found, std::string::npos) << key << " missing or out of order in: " << reply;
    pos = found + 1;
  }
  // 30 keys, one blank before each.
  EXPECT_EQ(std::count(reply.begin(), reply.end(), ' '), 1 + 30);
  EXPECT_NE(reply.find(" spatial_algorithm=deep_field "), std::string::npos);
  EXPECT_NE(reply.find(" output_device=speakers "), std::string::npos);
  EXPECT_NE(reply.find(" wet_dry_ratio=0.25 "), std::string::npos);
  EXPECT_NE(reply.find(" haas_channel=L quantum=2048"), std::string::npos);

  engine.enabled = false;
  engine.config.output_device.clear();
  const std::string off = service.Handle("status extra words");
  EXPECT_EQ(off.rfind("OK enabled=0 ", 0), 0u);
  EXPECT_NE(off.find(" output_device=auto "), std::string::npos);
}

TEST_F(ControlServiceTest, SetInstallsTheValueAndSavesItWithTheCurrentSwitch) {
  engine.enabled = true;
  EXPECT_EQ(service.Handle("set wet_dry_ratio 0.5 ignored"), "OK set wet_dry_ratio=0.5");
  EXPECT_FLOAT_EQ(engine.config.wet_dry_ratio, 0.5f);
  ASSERT_EQ(provider.saved.size(), 1u);
  EXPECT_FLOAT_EQ(provider.saved[0].wet_dry_ratio, 0.5f);
  EXPECT_TRUE(provider.saved[0].enabled);

  // The reply echoes the words as received, not the stored form.
  EXPECT_EQ(service.Handle("set wet_dry_ratio 0,75"), "OK set wet_dry_ratio=0,75");
  EXPECT_FLOAT_EQ(engine.config.wet_dry_ratio, 0.75f);
  EXPECT_EQ(service.Handle("set output_device auto"), "OK set output_device=auto");
  EXPECT_EQ(engine.config.output_device, "");
}

TEST_F(ControlServiceTest, InvalidSetChangesNeitherEngineNorFile) {
  const ProcessorConfig before = engine.config;
  ExpectConversation(service, {
      {"set Wet_dry_ratio 0.5", "ERR unknown key: Wet_dry_ratio"},
      {"set wet_dry_ratio lots", "ERR not a number: lots"},
      {"set haas_channel left", "ERR haas_channel must be L or R: left"},
  });
  EXPECT_EQ(engine.reconfigure_calls, 0);  // parser errors never reach the engine

  EXPECT_EQ(service.Handle("set distance 99"), "ERR distance out of [1,8]");
  EXPECT_EQ(service.Handle("set wet_dry_ratio nan"), "ERR wet_dry_ratio out of [0,1]");
  EXPECT_FLOAT_EQ(engine.config.distance, before.distance);
  EXPECT_FLOAT_EQ(engine.config.wet_dry_ratio, before.wet_dry_ratio);
  EXPECT_TRUE(provider.saved.empty());
}

TEST_F(ControlServiceTest, SwitchingSavesTheNewStateAndReportsAFailedSave) {
  EXPECT_EQ(service.Handle("on"), "OK enabled");
  EXPECT_TRUE(engine.enabled);
  ASSERT_EQ(provider.saved.size(), 1u);
  EXPECT_TRUE(provider.saved.back().enabled);

  EXPECT_EQ(service.Handle("disable"), "OK disabled");
  EXPECT_FALSE(engine.enabled);
  EXPECT_FALSE(provider.saved.back().enabled);

  provider.save_error = "cannot write /ro/config.json.tmp";
  EXPECT_EQ(service.Handle("enable"), "OK enabled (not saved: cannot write /ro/config.json.tmp)");
  EXPECT_TRUE(engine.enabled);  // the change took effect anyway
  EXPECT_EQ(service.Handle("set widen_scale 0.5"),
            "OK set widen_scale=0.5 (not saved: cannot write /ro/config.json.tmp)");
  EXPECT_FLOAT_EQ(engine.config.widen_scale, 0.5f);
  EXPECT_EQ(service.Handle("off"), "OK disabled (not saved: cannot write /ro/config.json.tmp)");
  EXPECT_EQ(provider.saved.size(), 2u);
}

TEST_F(ControlServiceTest, LatencyReportsTheEngineAndTheLastCycleAndChangesNothing) {
  engine.latency = {1024, 256, 48000};
  EXPECT_EQ(service.Handle("latency"), "OK latency engine=1024 quantum=256 rate=48000");
  engine.latency = {};
  EXPECT_EQ(service.Handle(" latency extra"), "OK latency engine=0 quantum=0 rate=0");
  EXPECT_EQ(engine.reconfigure_calls, 0);
  EXPECT_TRUE(provider.saved.empty());
}

TEST_F(ControlServiceTest, ReloadInstallsTheFileButKeepsTheSwitch) {
  engine.enabled = true;
  provider.stored.distance = 3.0f;
  provider.stored.enabled = false;
  EXPECT_EQ(service.Handle("reload"), "OK reloaded");
  EXPECT_FLOAT_EQ(engine.config.distance, 3.0f);
  EXPECT_TRUE(engine.enabled);
  EXPECT_TRUE(provider.saved.empty());
}

TEST_F(ControlServiceTest, FailedReloadKeepsThePreviousConfiguration) {
  engine.config.distance = 2.0f;
  provider.loadable = false;
  EXPECT_EQ(service.Handle("reload"), "ERR config reload failed (kept previous)");
  EXPECT_FLOAT_EQ(engine.config.distance, 2.0f);
  EXPECT_EQ(engine.reconfigure_calls, 0);

  // A provider that loads what the engine still rejects.
  provider.loadable = true;
  provider.stored.surround_gain = 9.0f;
  EXPECT_EQ(service.Handle("reload"), "ERR surround_gain out of [0.25,2]");
  EXPECT_FLOAT_EQ(engine.config.distance, 2.0f);
  EXPECT_FLOAT_EQ(engine.config.surround_gain, DefaultConfig().surround_gain);
}

AudioDevice Device(std::string name, std::string description, int32_t priority, uint32_t id) {
  AudioDevice d;
  d.name = std::move(name);
  d.description = std::move(description);
  d.priority = priority;
  d.id = id;
  return d;
}

TEST_F(ControlServiceTest, DevicesListsRoutableDevicesWithTheActiveFlag) {
  EXPECT_EQ(service.Handle("devices"), "OK devices");

  engine.devices = {Device("halvex", "Halvex Stereo Widener", 0, 30),
                    Device("halvex_dsp", "Halvex DSP", 0, 31), Device("", "nameless", 5, 32),
                    Device("alsa.hdmi", "HDMI", -20, 40), Device("speakers", "Test Speakers", 1000, 41)};
  engine.active = "speakers";
  EXPECT_EQ(service.Handle("devices"),
            "OK devices\talsa.hdmi|HDMI|-20|0\tspeakers|Test Speakers|1000|1");
}

TEST_F(ControlServiceTest, DevicesKeepsEachEntryOnOneLineAndField) {
  engine.devices = {Device("a", "left|right\nnext\tcol\x1f", 1, 1),
                    Device("bad name", "spaces are not allowed in names", 1, 2),
                    Device("b\n", "newline in name", 1, 3)};
  EXPECT_EQ(service.Handle("devices"), "OK devices\ta|left right next col |1|0");

  // 95 ASCII bytes then a two-byte character: the cut may not split it.
  const std::string description = std::string(95, 'x') + "\xc3\xa9" + "tail";
  engine.devices = {Device("c", description, 0, 4)};
  EXPECT_EQ(service.Handle("devices"), "OK devices\tc|" + std::string(95, 'x') + "|0|0");
}

TEST_F(ControlServiceTest, LongDeviceListStaysWithinOneClientReadAndKeepsTheActiveDevice) {
  const std::string long_description(200, 'd');
  for (uint32_t i = 0; i < 60; ++i) {
    engine.devices.push_back(Device(std::string(100, 'n') + std::to_string(i), long_description,
                                    0, 100 + i));
  }
  engine.active = std::string(100, 'n') + "59";  // last in node order
  const std::string reply = service.Handle("devices");
  EXPECT_LE(reply.size() + 1, 4096u);
  EXPECT_NE(reply.find("\t" + engine.active + "|"), std::string::npos);
  EXPECT_GT(std::count(reply.begin(), reply.end(), '\t'), 10);
  // Only whole entries: every entry ends in its flag.
  size_t tab = reply.find('\t');
  while (tab != std::string::npos) {
    const size_t next = reply.find('\t', tab + 1);
    const std::string entry = reply.substr(tab + 1, next == std::string::npos ? std::string::npos
                                                                             : next - tab - 1);
    EXPECT_EQ(std::count(entry.begin(), entry.end(), '|'), 3) << entry;
    tab = next;
  }
}

}  // namespace
}  // namespace halvex
