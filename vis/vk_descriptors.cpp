#include "vis/vk_descriptors.h"

#include "vis/draw_types.h"
#include "vis/vk_result.h"
#include "vis/vk_targets.h"

namespace halvex::vis {

namespace {

static_assert(sizeof(FrameConstants) == ShaderBindings::kGridSpanOffset);

VkResult CreateSampler(VkDevice device, VkSampler& sampler) {
  VkSamplerCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  info.magFilter = VK_FILTER_LINEAR;
  info.minFilter = VK_FILTER_LINEAR;
  info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
  info.addressModeU = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  info.addressModeV = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  info.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  info.maxLod = 0.0f;
  return vkCreateSampler(device, &info, nullptr, &sampler);
}

}  // namespace

bool ShaderBindings::Create(VkDevice device, std::string& error) {
  if (!Made(CreateSampler(device, sampler), sampler, "create the sampler", error) ||
      !CreateSets(device, error)) {
    return false;
  }
  const VkPushConstantRange range{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                                  kPushConstantBytes};
  // Set 1 is read by the grid warp only; the other pipelines leave it unused.
  const std::array<VkDescriptorSetLayout, 2> set_layouts = {set_layout, set_layout};
  VkPipelineLayoutCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  info.setLayoutCount = static_cast<uint32_t>(set_layouts.size());
  info.pSetLayouts = set_layouts.data();
  info.pushConstantRangeCount = 1;
  info.pPushConstantRanges = &range;
  return Made(vkCreatePipelineLayout(device, &info, nullptr, &layout), layout,
              "create the pipeline layout", error);
}

bool ShaderBindings::CreateSets(VkDevice device, std::string& error) {
  VkDescriptorSetLayoutBinding binding{};
  binding.binding = 0;
  binding.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  binding.descriptorCount = 1;
  binding.stageFlags = VK_SHADER_STAGE_FRAGMENT_BIT;
  VkDescriptorSetLayoutCreateInfo layout_info{};
  layout_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
  layout_info.bindingCount = 1;
  layout_info.pBindings = &binding;
  if (!Made(vkCreateDescriptorSetLayout(device, &layout_info, nullptr, &set_layout), set_layout,
            "create the descriptor set layout", error)) {
    return false;
  }
  const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, kSetCount};
  VkDescriptorPoolCreateInfo pool_info{};
  pool_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
  pool_info.maxSets = kSetCount;
  pool_info.poolSizeCount = 1;
  pool_info.pPoolSizes = &size;
  if (!Made(vkCreateDescriptorPool(device, &pool_info, nullptr, &pool), pool,
            "create the descriptor pool", error)) {
    return false;
  }
  std::array<VkDescriptorSetLayout, kSetCount> layouts;
  layouts.fill(set_layout);
  VkDescriptorSetAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
  allocation.descriptorPool = pool;
  allocation.descriptorSetCount = kSetCount;
  allocation.pSetLayouts = layouts.data();
  const VkResult result = vkAllocateDescriptorSets(device, &allocation, sets.data());
  if (result != VK_SUCCESS) error = StepFailed("allocate the descriptor sets", result);
  return result == VK_SUCCESS;
}

void ShaderBindings::Point(VkDevice device, const FeedbackTargets& targets) const {
  const std::array<VkImageView, kSetCount> views = {
      targets.feedback[0].view, targets.feedback[1].view, targets.scaled_picture.view,
      targets.warp_grid.view};
  for (std::size_t i = 0; i < views.size(); ++i) {
    if (views[i] == VK_NULL_HANDLE) continue;
    VkDescriptorImageInfo image{sampler, views[i], VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL};
    VkWriteDescriptorSet write{};
    write.sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
    write.dstSet = sets[i];
    write.dstBinding = 0;
    write.descriptorCount = 1;
    write.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
    write.pImageInfo = &image;
    vkUpdateDescriptorSets(device, 1, &write, 0, nullptr);
  }
}

void ShaderBindings::Destroy(VkDevice device) {
  if (layout != VK_NULL_HANDLE) vkDestroyPipelineLayout(device, layout, nullptr);
  if (pool != VK_NULL_HANDLE) vkDestroyDescriptorPool(device, pool, nullptr);
  if (set_layout != VK_NULL_HANDLE) vkDestroyDescriptorSetLayout(device, set_layout, nullptr);
  if (sampler != VK_NULL_HANDLE) vkDestroySampler(device, sampler, nullptr);
  *this = ShaderBindings{};
}

}  // namespace halvex::vis
