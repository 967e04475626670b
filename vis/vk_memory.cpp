#include "vis/vk_memory.h"

#include "vis/vk_context.h"

namespace halvex::vis {

namespace {

VkResult Allocate(const VulkanContext& context, const VkMemoryRequirements& needs,
                  VkMemoryPropertyFlags flags, VkDeviceMemory& memory) {
  VkMemoryAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = needs.size;
  allocation.memoryTypeIndex = context.MemoryType(needs.memoryTypeBits, flags);
  const VkResult result = vkAllocateMemory(context.device, &allocation, nullptr, &memory);
  if (result != VK_SUCCESS) memory = VK_NULL_HANDLE;
  return result;
}

// A 2D colour image bound to new memory of the given kind, without a view.
VkResult MakeImage(const VulkanContext& context, VkExtent2D size, VkFormat format,
                   VkImageUsageFlags usage, VkImageTiling tiling, VkMemoryPropertyFlags memory,
                   DeviceImage& out) {
  VkImageCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = format;
  info.extent = {size.width, size.height, 1};
  info.mipLevels = 1;
  info.arrayLayers = 1;
  info.samples = VK_SAMPLE_COUNT_1_BIT;
  info.tiling = tiling;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  VkResult result = vkCreateImage(context.device, &info, nullptr, &out.image);
  if (result != VK_SUCCESS) {
    out.image = VK_NULL_HANDLE;
    return result;
  }
  VkMemoryRequirements needs;
  vkGetImageMemoryRequirements(context.device, out.image, &needs);
  result = Allocate(context, needs, memory, out.memory);
  if (result != VK_SUCCESS) return result;
  return vkBindImageMemory(context.device, out.image, out.memory, 0);
}

}  // namespace

VkResult CreateMappedBuffer(const VulkanContext& context, VkDeviceSize size,
                            VkBufferUsageFlags usage, MappedBuffer& out) {
  VkBufferCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  VkResult result = vkCreateBuffer(context.device, &info, nullptr, &out.buffer);
  if (result != VK_SUCCESS) {
    out.buffer = VK_NULL_HANDLE;
    return result;
  }
  VkMemoryRequirements needs;
  vkGetBufferMemoryRequirements(context.device, out.buffer, &needs);
  result = Allocate(context, needs,
                    VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                    out.memory);
  if (result != VK_SUCCESS) return result;
  out.size = size;
  result = vkBindBufferMemory(context.device, out.buffer, out.memory, 0);
  if (result != VK_SUCCESS) return result;
  return vkMapMemory(context.device, out.memory, 0, size, 0, &out.mapped);
}

void DestroyBuffer(VkDevice device, MappedBuffer& buffer) {
  if (buffer.mapped != nullptr) vkUnmapMemory(device, buffer.memory);
  if (buffer.buffer != VK_NULL_HANDLE) vkDestroyBuffer(device, buffer.buffer, nullptr);
  if (buffer.memory != VK_NULL_HANDLE) vkFreeMemory(device, buffer.memory, nullptr);
  buffer = MappedBuffer{};
}

VkResult CreateImage(const VulkanContext& context, VkExtent2D size, VkFormat format,
                     DeviceImage& out, VkImageUsageFlags usage) {
  const VkResult result = MakeImage(context, size, format, usage, VK_IMAGE_TILING_OPTIMAL,
                                    VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, out);
  if (result != VK_SUCCESS) return result;
  return CreateView(context.device, out.image, format, out.view);
}

VkResult CreateView(VkDevice device, VkImage image, VkFormat format, VkImageView& view) {
  VkImageViewCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  info.image = image;
  info.viewType = VK_IMAGE_VIEW_TYPE_2D;
  info.format = format;
  info.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  const VkResult result = vkCreateImageView(device, &info, nullptr, &view);
  if (result != VK_SUCCESS) view = VK_NULL_HANDLE;
  return result;
}

void DestroyImage(VkDevice device, DeviceImage& image) {
  if (image.view != VK_NULL_HANDLE) vkDestroyImageView(device, image.view, nullptr);
  if (image.image != VK_NULL_HANDLE) vkDestroyImage(device, image.image, nullptr);
  if (image.memory != VK_NULL_HANDLE) vkFreeMemory(device, image.memory, nullptr);
  image = DeviceImage{};
}

VkResult CreateHostImage(const VulkanContext& context, VkExtent2D size, VkFormat format,
                         VkImageUsageFlags usage, HostImage& out) {
  VkResult result = MakeImage(
      context, size, format, usage, VK_IMAGE_TILING_LINEAR,
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT, out.image);
  void* mapped = nullptr;
  if (result == VK_SUCCESS) {
    result = vkMapMemory(context.device, out.image.memory, 0, VK_WHOLE_SIZE, 0, &mapped);
  }
  if (result != VK_SUCCESS) return result;
  const VkImageSubresource colour{VK_IMAGE_ASPECT_COLOR_BIT, 0, 0};
  VkSubresourceLayout layout;
  vkGetImageSubresourceLayout(context.device, out.image.image, &colour, &layout);
  out.rows = static_cast<const uint8_t*>(mapped) + layout.offset;
  out.row_pitch = layout.rowPitch;
  return CreateView(context.device, out.image.image, format, out.image.view);
}

void DestroyHostImage(VkDevice device, HostImage& image) {
  if (image.rows != nullptr) vkUnmapMemory(device, image.image.memory);
  DestroyImage(device, image.image);
  image = HostImage{};
}

}  // namespace halvex::vis
