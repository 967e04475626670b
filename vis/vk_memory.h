// Buffers mapped into host memory and sampled colour images in device memory: the two kinds
// of storage the renderer allocates.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>

namespace halvex::vis {

struct VulkanContext;

struct MappedBuffer {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  void* mapped = nullptr;
  VkDeviceSize size = 0;
};

struct DeviceImage {
  VkImage image = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  VkImageView view = VK_NULL_HANDLE;
};

// Host-visible, coherent and mapped for the buffer's life. A failure leaves handles for
// DestroyBuffer.
VkResult CreateMappedBuffer(const VulkanContext& context, VkDeviceSize size,
                            VkBufferUsageFlags usage, MappedBuffer& out);
void DestroyBuffer(VkDevice device, MappedBuffer& buffer);

// A sampled colour image (drawn into, unless `usage` says otherwise). A failure leaves handles
// for DestroyImage.
VkResult CreateImage(const VulkanContext& context, VkExtent2D size, VkFormat format,
                     DeviceImage& out,
                     VkImageUsageFlags usage = VK_IMAGE_USAGE_SAMPLED_BIT |
                                               VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT);
// A colour image drawn into by the device and read by the host: linear, in host-visible memory
// mapped for its life; `rows` points at its first row, `row_pitch` bytes apart. A failure
// leaves handles for DestroyHostImage.
struct HostImage {
  DeviceImage image;
  const uint8_t* rows = nullptr;
  VkDeviceSize row_pitch = 0;
};
VkResult CreateHostImage(const VulkanContext& context, VkExtent2D size, VkFormat format,
                         VkImageUsageFlags usage, HostImage& out);
void DestroyHostImage(VkDevice device, HostImage& image);

// A 2D colour view of the whole of `image`.
VkResult CreateView(VkDevice device, VkImage image, VkFormat format, VkImageView& view);
void DestroyImage(VkDevice device, DeviceImage& image);

}  // namespace halvex::vis
