#include "vis/vk_device_choice.h"

#include <vulkan/vulkan.h>

#include <climits>

namespace halvex::vis {

namespace {

int Score(const DeviceCandidate& device, const char* gpu_filter) {
  int score = device.discrete ? 100 : device.integrated ? 50 : 10;
  if (device.api_version < VK_API_VERSION_1_3) score -= 200;
  if (gpu_filter != nullptr &&
      (gpu_filter[0] == '\0' || device.name.find(gpu_filter) != std::string::npos)) {
    score += 1000;
  }
  return score;
}

}  // namespace

bool ChooseDevice(const std::vector<DeviceCandidate>& devices, const char* gpu_filter,
                  std::size_t& chosen, std::string& error) {
  std::string seen;
  bool found = false;
  int best = INT_MIN;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i > 0) seen += ", ";
    seen += devices[i].name;
    if (!devices[i].can_present) continue;
    const int score = Score(devices[i], gpu_filter);
    if (!found || score > best) {  // equal scores keep the earlier device
      found = true;
      best = score;
      chosen = i;
    }
  }
  if (!found) {
    error = "no Vulkan device can both render and present to this window";
    error += devices.empty() ? " (none found)" : " (saw: " + seen + ")";
    return false;
  }
  if (best < 10) {
    error = "the only usable device (" + devices[chosen].name +
            ") does not report Vulkan 1.3, which this renderer needs";
    return false;
  }
  return true;
}

}  // namespace halvex::vis
