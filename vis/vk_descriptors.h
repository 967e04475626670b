// What the shaders bind: one linear sampler, a descriptor set per image they read (the two
// feedback images, the scaled picture, the warp grid), and the push constants: FrameConstants,
// then the warp grid's span.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>

namespace halvex::vis {

struct FeedbackTargets;

struct ShaderBindings {
  static constexpr uint32_t kScaledSet = 2;
  // Bound as set 1 beside the previous frame's set 0.
  static constexpr uint32_t kWarpGridSet = 3;
  static constexpr uint32_t kSetCount = 4;
  // Where warp_grid.vert finds the grid's columns - 1 and rows - 1, after FrameConstants.
  static constexpr uint32_t kGridSpanOffset = 48;
  static constexpr uint32_t kPushConstantBytes = kGridSpanOffset + 2 * sizeof(float);

  VkSampler sampler = VK_NULL_HANDLE;
  VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  std::array<VkDescriptorSet, kSetCount> sets = {};
  VkPipelineLayout layout = VK_NULL_HANDLE;

  // `error` says which object failed and why; what was made stays for Destroy.
  bool Create(VkDevice device, std::string& error);
  // Points the sets at the targets' images (those that exist).
  void Point(VkDevice device, const FeedbackTargets& targets) const;
  void Destroy(VkDevice device);

 private:
  bool CreateSets(VkDevice device, std::string& error);
};

}  // namespace halvex::vis
