// The window's swapchain: its images, their views, and one present semaphore per image.
#pragma once

#include <vulkan/vulkan.h>

#include <string>
#include <vector>

namespace halvex::vis {

struct VulkanContext;

// The surface's capabilities, and a drawable of width × height clamped to them ({0, 0} for a
// zero size, as a minimised window reports). On failure the result, `error` saying so.
VkResult SurfaceExtent(const VulkanContext& context, int width, int height,
                       VkSurfaceCapabilitiesKHR& caps, VkExtent2D& extent, std::string& error);

struct Swapchain {
  VkSwapchainKHR handle = VK_NULL_HANDLE;
  VkFormat format = VK_FORMAT_B8G8R8A8_UNORM;
  VkExtent2D extent = {1280, 720};
  bool readable = false;  // transfer-source usage, for captures
  std::vector<VkImage> images;
  std::vector<VkImageView> views;
  // One per image: a present may still wait on its semaphore while the next frame, on
  // another image, signals its own.
  std::vector<VkSemaphore> render_finished;

  // For a drawable of width × height. A zero size (a minimised window) leaves the handle null
  // and succeeds: frames are skipped until a resize brings a real size. On failure the result
  // of the call that failed, `error` saying which, and nothing left created.
  VkResult Create(const VulkanContext& context, int width, int height, std::string& error);
  void Destroy(VkDevice device);

 private:
  VkResult CreateViews(VkDevice device, std::string& error);
};

}  // namespace halvex::vis
