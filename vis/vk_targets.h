// The feedback chain's two images (one read while the other is drawn) and, when the chain is
// smaller than the window, the picture that frames with the echo finish at its size before
// it is stretched, and the warp grid.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>

#include "vis/vk_memory.h"

namespace halvex::vis {

struct VulkanContext;

// The feedback chain's share of the window: `requested` in (0, 1] clamped to at least
// `minimum`; anything else is automatic, `cpu_scale` on a software device and 1 on a GPU.
float ChooseRenderScale(float requested, bool cpu_device, float minimum, float cpu_scale);

struct FeedbackTargets {
  // The finished picture at the feedback size: already in display range, and 8 bits keep
  // the stretch on a software rasteriser's fast path.
  static constexpr VkFormat kScaledFormat = VK_FORMAT_R8G8B8A8_UNORM;

  // The warp's texture coordinates, one texel per grid point (the frame's grid in the top-left
  // corner). Present only while the chain is smaller than the window and the device filters
  // the format: the warp is then one full-screen pass that interpolates the grid, instead of
  // thousands of small triangles a software rasteriser sets up one by one.
  static constexpr VkFormat kWarpGridFormat = VK_FORMAT_R32G32_SFLOAT;
  static constexpr uint32_t kWarpGridSide = 96;

  std::array<DeviceImage, 2> feedback = {};
  DeviceImage scaled_picture;  // present only while the chain is smaller than the window
  DeviceImage warp_grid;
  VkFormat format = VK_FORMAT_R16G16B16A16_SFLOAT;
  VkExtent2D extent = {1280, 720};
  float scale = 1.0f;
  uint32_t previous = 0;     // the image holding the last frame
  bool initialised = false;  // cleared once before the first frame reads it

  bool scaled() const { return scaled_picture.view != VK_NULL_HANDLE; }
  bool grid_warp() const { return warp_grid.view != VK_NULL_HANDLE; }

  // For a window of `window_extent` (nothing for a zero size) at `scale`. On failure `error`
  // says which image and why, and nothing is left created.
  bool Create(const VulkanContext& context, VkExtent2D window_extent, float chosen_scale,
              std::string& error);
  void Destroy(VkDevice device);
};

}  // namespace halvex::vis
