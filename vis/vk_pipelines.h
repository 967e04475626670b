// The graphics pipelines of a frame: the warp, waves, dots and shapes into the feedback image,
// the composite (to the window, or to the scaled picture and then stretched), and the overlay.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>

namespace halvex::vis {

struct Pipelines {
  // Where dots.vert finds its point size in the push constants (FrameConstants::reserved).
  static constexpr uint32_t kPointSizeOffset = 24;

  VkPipeline warp = VK_NULL_HANDLE;
  VkPipeline waves_alpha = VK_NULL_HANDLE;
  VkPipeline waves_additive = VK_NULL_HANDLE;
  VkPipeline composite = VK_NULL_HANDLE;       // without the echo: frames whose echo_alpha is 0
  VkPipeline composite_echo = VK_NULL_HANDLE;
  VkPipeline overlay = VK_NULL_HANDLE;
  VkPipeline dots_alpha = VK_NULL_HANDLE;
  VkPipeline dots_additive = VK_NULL_HANDLE;
  VkPipeline shapes_alpha = VK_NULL_HANDLE;
  VkPipeline shapes_additive = VK_NULL_HANDLE;
  VkPipeline composite_scaled = VK_NULL_HANDLE;  // the composite into the scaled picture
  VkPipeline composite_scaled_echo = VK_NULL_HANDLE;
  VkPipeline upscale = VK_NULL_HANDLE;
  VkFormat swapchain_format = VK_FORMAT_UNDEFINED;  // what the window's pipelines draw into

  bool built() const { return warp != VK_NULL_HANDLE; }
  // All of them or none; `error` says which step failed and why.
  bool Create(VkDevice device, VkPipelineLayout layout, VkFormat feedback_format,
              VkFormat window_format, std::string& error);
  void Destroy(VkDevice device);
};

}  // namespace halvex::vis
