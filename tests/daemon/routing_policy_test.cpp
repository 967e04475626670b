#include "daemon/routing_policy.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

AudioDevice Device(const std::string& name, int32_t priority, uint32_t id) {
  return AudioDevice{.name = name, .description = name, .priority = priority, .id = id};
}

std::string Chosen(const std::vector<AudioDevice>& devices, const std::string& preferred = "") {
  const AudioDevice* chosen = ChooseTarget(devices, preferred);
  return chosen ? chosen->name : "(none)";
}

TEST(ChooseTarget, HighestPriorityWinsAndTiesKeepTheLowerId) {
  EXPECT_EQ(Chosen({Device("a", 1000, 40), Device("b", 1000, 41)}), "a");
  EXPECT_EQ(Chosen({Device("a", 1000, 40), Device("b", 1009, 41)}), "b");
  EXPECT_EQ(Chosen({Device("a", -5, 40), Device("b", -7, 41)}), "a");
  EXPECT_EQ(Chosen({}), "(none)");
}

TEST(ChooseTarget, PresentPreferredDeviceWinsAndOwnNodesAreNeverChosen) {
  const std::vector<AudioDevice> devices = {Device("halvex", 5000, 30), Device("", 4000, 31),
                                            Device("low", 1, 32), Device("high", 900, 33),
                                            Device("halvex_dsp", 3000, 34)};
  EXPECT_EQ(Chosen(devices), "high");
  EXPECT_EQ(Chosen(devices, "low"), "low");
  EXPECT_EQ(Chosen(devices, "missing"), "high");
  EXPECT_EQ(Chosen(devices, "halvex"), "high");
  EXPECT_EQ(Chosen(devices, "halvex_dsp"), "high");
  EXPECT_EQ(Chosen({Device("", 10, 1), Device("halvex", 10, 2)}), "(none)");
  EXPECT_FALSE(IsRoutableTarget(Device("", 0, 1)));
  EXPECT_TRUE(IsRoutableTarget(Device("speakers", 0, 1)));
}

PortInfo Port(uint32_t id, uint32_t node, bool output, const std::string& channel,
              const std::string& name) {
  return PortInfo{id, node, output, channel, name};
}

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// The DSP node (7) with its ports listed in a scrambled id order.
std::vector<PortInfo> DspPorts() {
  return {Port(74, 7, true, "FR", "output_FR"), Port(71, 7, false, "FL", "input_FL"),
          Port(73, 7, true, "FL", "output_FL"), Port(72, 7, false, "FR", "input_FR")};
}

TEST(MatchPorts, PairsByChannelWhateverTheNameOrder) {
  std::vector<PortInfo> ports = DspPorts();
  // Names sort the other way round from the channels.
  ports.push_back(Port(90, 9, false, "FR", "a_playback"));
  ports.push_back(Port(91, 9, false, "FL", "b_playback"));
  EXPECT_EQ(MatchPorts(ports, 7, "output", 9), (Pairs{{73, 91}, {74, 90}}));
}

TEST(MatchPorts, MonoDeviceGetsTheLeftOutputOnly) {
  std::vector<PortInfo> ports = DspPorts();
  ports.push_back(Port(95, 9, false, "MONO", "playback_MONO"));
  EXPECT_EQ(MatchPorts(ports, 7, "output", 9), (Pairs{{73, 95}}));
}

TEST(MatchPorts, PortsWithoutChannelsPairBySortedName) {
  std::vector<PortInfo> ports = {Port(10, 1, true, "", "out_b"), Port(11, 1, true, "", "out_a"),
                                 Port(20, 2, false, "", "in_2"), Port(21, 2, false, "", "in_1")};
  EXPECT_EQ(MatchPorts(ports, 1, nullptr, 2), (Pairs{{11, 21}, {10, 20}}));
}

TEST(MatchPorts, KindSelectsMonitorPortsAndAnInputMayTakeSeveralOutputs) {
  std::vector<PortInfo> ports = DspPorts();
  // A sink (5) with playback inputs and monitor outputs.
  ports.push_back(Port(50, 5, false, "FL", "playback_FL"));
  ports.push_back(Port(51, 5, false, "FR", "playback_FR"));
  ports.push_back(Port(52, 5, true, "FL", "monitor_FL"));
  ports.push_back(Port(53, 5, true, "FR", "monitor_FR"));
  EXPECT_EQ(MatchPorts(ports, 5, "monitor", 7), (Pairs{{52, 71}, {53, 72}}));
  EXPECT_TRUE(MatchPorts(ports, 5, "capture", 7).empty());

  // "zz" carries FL, "aa" has no channel: FL finds zz by channel, FR falls back to position 1.
  ports.push_back(Port(60, 6, false, "", "aa"));
  ports.push_back(Port(61, 6, false, "FL", "zz"));
  EXPECT_EQ(MatchPorts(ports, 7, "output", 6), (Pairs{{73, 61}, {74, 61}}));
}

TEST(BypassLinks, OnlyDirectLinksOfStreamsThatAlsoFeedTheSink) {
  constexpr uint32_t kSink = 5, kDsp = 7, kTarget = 9;
  const std::vector<LinkInfo> links = {
      {100, 20, kSink},    // stream 20 plays into the sink ...
      {101, 20, kTarget},  // ... and also straight into the target: bypass
      {102, 21, kTarget},  // stream 21 plays only to the target: kept
      {103, kDsp, kTarget},
      {104, kSink, kDsp},
  };
  EXPECT_EQ(BypassLinks(links, kSink, kDsp, kTarget), (std::vector<uint32_t>{101}));
  EXPECT_TRUE(BypassLinks(links, kNoId, kDsp, kTarget).empty());
}

TEST(DeviceList, DropsUnsafeNamesAndCutsDescriptionsOnCharacterBoundaries) {
  std::vector<AudioDevice> devices = {Device("good.name-1", 1, 1), Device("bad name", 1, 2),
                                      Device("evil|\n", 1, 3), Device("halvex", 0, 4)};
  // 95 ASCII bytes then a 2-byte character: cutting at 96 would split it.
  devices[0].description = std::string(95, 'x') + "\xC3\xA9" + "tail";
  const std::vector<AudioDevice> listed = ListableDevices(devices);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "good.name-1");
  EXPECT_EQ(listed[0].description, std::string(95, 'x'));

  EXPECT_EQ(CutUtf8("abc", 96), "abc");
  EXPECT_EQ(CutUtf8("\xE2\x82\xAC\xE2\x82\xAC", 5), "\xE2\x82\xAC");
  EXPECT_EQ(CutUtf8("\xE2\x82\xAC\xE2\x82\xAC", 6), "\xE2\x82\xAC\xE2\x82\xAC");
}

}  // namespace
}  // namespace halvex

namespace halvex {
namespace {

TEST(BypassedStreams, MatchTheApplicationNameOrTheBinaryExactly) {
  const std::vector<std::string> apps = {"Voice Chat", "ardour"};
  EXPECT_TRUE(IsBypassedStream(apps, "Voice Chat", "chat-bin"));
  EXPECT_TRUE(IsBypassedStream(apps, "Ardour 8", "ardour"));
  EXPECT_FALSE(IsBypassedStream(apps, "voice chat", ""));
  EXPECT_FALSE(IsBypassedStream(apps, "Voice", "ardour8"));
  EXPECT_FALSE(IsBypassedStream({""}, "", "")) << "an unnamed stream is no match";
  EXPECT_FALSE(IsBypassedStream({}, "Voice Chat", "ardour"));
}

}  // namespace
}  // namespace halvex
