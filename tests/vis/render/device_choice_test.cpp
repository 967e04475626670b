#include <gtest/gtest.h>
#include <vulkan/vulkan.h>

#include "vis/vk_renderer.h"

namespace halvex::vis {
namespace {

DeviceCandidate Device(const std::string& name, bool discrete, bool integrated,
                       uint32_t api = VK_API_VERSION_1_3, bool presents = true) {
  DeviceCandidate d;
  d.name = name;
  d.discrete = discrete;
  d.integrated = integrated;
  d.api_version = api;
  d.can_present = presents;
  return d;
}

const DeviceCandidate kIntegrated = Device("Intel(R) UHD Graphics 620", false, true);
const DeviceCandidate kDiscrete = Device("AMD Radeon RX 6600", true, false);
const DeviceCandidate kSoftware = Device("llvmpipe (LLVM 15.0.6, 256 bits)", false, false);
const DeviceCandidate kOld = Device("Old GPU", true, false, VK_API_VERSION_1_2);
const DeviceCandidate kHeadless = Device("Compute only", true, false, VK_API_VERSION_1_3, false);

TEST(DeviceChoice, PicksByTypeThenNameFilter) {
  struct Case {
    std::vector<DeviceCandidate> devices;
    const char* filter;
    std::size_t expected;
  };
  const Case cases[] = {
      {{kIntegrated, kDiscrete}, nullptr, 1},
      {{kIntegrated, kDiscrete}, "UHD", 0},
      {{kIntegrated, kDiscrete}, "", 1},         // empty matches all: the discrete one still wins
      {{kIntegrated, kDiscrete}, "uhd", 1},      // case-sensitive
      {{kSoftware, kIntegrated}, nullptr, 1},
      {{kOld, kSoftware}, nullptr, 1},           // 1.3 software beats a 1.2 discrete GPU
      {{kOld, kSoftware}, "Old", 0},             // unless chosen by name
      {{kHeadless, kSoftware}, nullptr, 1},      // a device that cannot present is no candidate
      {{kDiscrete, Device("Second", true, false)}, nullptr, 0},  // ties keep the first
  };
  for (const Case& c : cases) {
    std::size_t chosen = 99;
    std::string error;
    ASSERT_TRUE(ChooseDevice(c.devices, c.filter, chosen, error)) << error;
    EXPECT_EQ(chosen, c.expected) << c.devices[c.expected].name << " filter "
                                  << (c.filter ? c.filter : "(unset)");
  }
}

TEST(DeviceChoice, ExplainsWhyNoneWillDo) {
  std::size_t chosen = 0;
  std::string error;
  EXPECT_FALSE(ChooseDevice({}, nullptr, chosen, error));
  EXPECT_EQ(error, "no Vulkan device can both render and present to this window (none found)");
  EXPECT_FALSE(ChooseDevice({kHeadless, Device("Other", false, true, VK_API_VERSION_1_3, false)},
                            nullptr, chosen, error));
  EXPECT_EQ(error,
            "no Vulkan device can both render and present to this window "
            "(saw: Compute only, Other)");
  EXPECT_FALSE(ChooseDevice({kOld}, nullptr, chosen, error));
  EXPECT_EQ(error,
            "the only usable device (Old GPU) does not report Vulkan 1.3, which this renderer "
            "needs");
}

}  // namespace
}  // namespace halvex::vis
