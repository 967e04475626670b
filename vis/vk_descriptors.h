// What the shaders bind: one linear sampler, a descriptor set per image they read (the two
// feedback images, then the scaled picture), and the push-constant range of FrameConstants.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>

namespace halvex::vis {

struct FeedbackTargets;

struct ShaderBindings {
  static constexpr uint32_t kScaledSet = 2;

  VkSampler sampler = VK_NULL_HANDLE;
  VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
  VkDescriptorPool pool = VK_NULL_HANDLE;
  std::array<VkDescriptorSet, 3> sets = {};
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
