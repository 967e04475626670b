// Which physical device the visualizer renders on, decided from what each device reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex::vis {

// What device selection needs to know of one physical device.
struct DeviceCandidate {
  std::string name;
  bool discrete = false;
  bool integrated = false;
  uint32_t api_version = 0;
  bool can_present = false;  // has a graphics queue family that presents to the surface
};

// The device to render on: discrete before integrated before others, Vulkan 1.3 required
// unless chosen by name, and `gpu_filter` (HALVEX_VIS_GPU, null when unset; empty matches any
// name) winning over both. False with a one-line error when none will do.
bool ChooseDevice(const std::vector<DeviceCandidate>& devices, const char* gpu_filter,
                  std::size_t& chosen, std::string& error);

}  // namespace halvex::vis
