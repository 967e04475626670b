// What one frame in flight owns: the command buffer it is recorded into, the fence that says
// the device is done with it, the semaphore its acquired image signals, and the buffers the
// host fills for it. The renderer keeps a few of these so that the host prepares one frame
// while the device still draws the one before.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>

#include "vis/vk_buffers.h"

namespace halvex::vis {

struct VulkanContext;

struct FrameSlot {
  VkCommandPool pool = VK_NULL_HANDLE;
  VkCommandBuffer commands = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;  // created signalled: a slot never used is free
  VkSemaphore image_available = VK_NULL_HANDLE;
  FrameBuffers buffers;

  // `error` says which object failed and why; what was made stays for Destroy.
  bool Create(const VulkanContext& context, std::string& error);
  // The device must be done with the slot (its fence signalled, or the device idle).
  void Destroy(VkDevice device);
};

}  // namespace halvex::vis
