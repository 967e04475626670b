// The Vulkan instance, the window's surface and the logical device the renderer draws with:
// made once, destroyed last.
#pragma once

#include <vulkan/vulkan.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace halvex::vis {

class VisWindow;

// Call before the first Vulkan instance, while the program has one thread (it sets an
// environment variable): Mesa's software rasteriser then runs one rasteriser thread, unless
// the user has chosen a count with LP_NUM_THREADS. Other drivers do not read the variable.
void PreferOneSoftwareRasteriserThread();

struct VulkanContext {
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  uint32_t queue_family = 0;
  VkQueue queue = VK_NULL_HANDLE;
  std::string device_name;
  bool cpu_device = false;  // a software rasteriser: every pixel costs CPU time
  bool wide_lines = false;  // thick custom waves and outlines; one pixel without it
  // Warnings and errors of the validation layer (HALVEX_VIS_VALIDATE).
  std::atomic<uint32_t> validation_reports{0};

  // Instance (with the validation layer when asked for), surface, device choice, device.
  // False with a one-line error; what was made stays for Destroy.
  bool Create(VisWindow& window, std::string& error);
  // The device must be idle and everything made from it destroyed.
  void Destroy();

  // A memory type among `bits` with all of `flags` (0 when none has them).
  uint32_t MemoryType(uint32_t bits, VkMemoryPropertyFlags flags) const;

 private:
  bool CreateInstance(VisWindow& window, std::string& error);
  bool PickDevice(std::string& error);
  bool CreateDevice(std::string& error);
};

}  // namespace halvex::vis
