#include "vis/vk_frame_slot.h"

#include "vis/vk_context.h"
#include "vis/vk_result.h"

namespace halvex::vis {

bool FrameSlot::Create(const VulkanContext& context, std::string& error) {
  const VkDevice device = context.device;
  VkCommandPoolCreateInfo pool_info{};
  pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  pool_info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pool_info.queueFamilyIndex = context.queue_family;
  if (!Made(vkCreateCommandPool(device, &pool_info, nullptr, &pool), pool,
            "create the command pool", error)) {
    return false;
  }
  VkCommandBufferAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  allocation.commandPool = pool;
  allocation.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  allocation.commandBufferCount = 1;
  if (!Made(vkAllocateCommandBuffers(device, &allocation, &commands), commands,
            "allocate the command buffer", error)) {
    return false;
  }
  VkFenceCreateInfo fence_info{};
  fence_info.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  fence_info.flags = VK_FENCE_CREATE_SIGNALED_BIT;
  VkSemaphoreCreateInfo semaphore_info{};
  semaphore_info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  return Made(vkCreateFence(device, &fence_info, nullptr, &fence), fence,
              "create the frame fence", error) &&
         Made(vkCreateSemaphore(device, &semaphore_info, nullptr, &image_available),
              image_available, "create the acquire semaphore", error) &&
         buffers.Create(context, error);
}

void FrameSlot::Destroy(VkDevice device) {
  buffers.Destroy(device);
  if (image_available != VK_NULL_HANDLE) vkDestroySemaphore(device, image_available, nullptr);
  if (fence != VK_NULL_HANDLE) vkDestroyFence(device, fence, nullptr);
  if (pool != VK_NULL_HANDLE) vkDestroyCommandPool(device, pool, nullptr);
  *this = FrameSlot{};
}

}  // namespace halvex::vis
