// The graphics pipelines of a frame: the warp (mesh or grid), waves, dots and shapes into the
// feedback image, the composite (to the window, or to the scaled picture and then stretched),
// and the overlay.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace halvex::vis {

struct FrameConstants;

struct Pipelines {
  // Where dots.vert finds its point size in the push constants (FrameConstants::reserved).
  static constexpr uint32_t kPointSizeOffset = 24;

  VkPipeline warp = VK_NULL_HANDLE;
  VkPipeline warp_grid = VK_NULL_HANDLE;  // the warp from the grid image, one triangle
  VkPipeline waves_alpha = VK_NULL_HANDLE;
  VkPipeline waves_additive = VK_NULL_HANDLE;
  // The composite to the window and into the scaled picture, by CompositeVariant.
  using CompositeVariants = std::array<VkPipeline, 4>;
  CompositeVariants composite = {};
  VkPipeline overlay = VK_NULL_HANDLE;
  VkPipeline dots_alpha = VK_NULL_HANDLE;
  VkPipeline dots_additive = VK_NULL_HANDLE;
  VkPipeline shapes_alpha = VK_NULL_HANDLE;
  VkPipeline shapes_additive = VK_NULL_HANDLE;
  CompositeVariants composite_scaled = {};
  VkPipeline upscale = VK_NULL_HANDLE;
  VkFormat swapchain_format = VK_FORMAT_UNDEFINED;  // what the window's pipelines draw into

  bool built() const { return warp != VK_NULL_HANDLE; }
  // The composite that leaves out what the frame does not use: +kEchoBit with the echo
  // (echo_alpha above 0), +2 with the colour effects (effects not 0).
  static constexpr std::size_t kEchoBit = 1;
  static std::size_t CompositeVariant(const FrameConstants& constants);
  // All of them or none; `error` says which step failed and why.
  bool Create(VkDevice device, VkPipelineLayout layout, VkFormat feedback_format,
              VkFormat window_format, std::string& error);
  void Destroy(VkDevice device);
};

}  // namespace halvex::vis
