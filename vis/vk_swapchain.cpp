#include "vis/vk_swapchain.h"

#include <algorithm>

#include "vis/vk_context.h"
#include "vis/vk_memory.h"
#include "vis/vk_result.h"

namespace halvex::vis {

namespace {

// 8-bit UNORM when offered (the composite writes display values), else the first format.
VkResult ChooseFormat(const VulkanContext& context, VkSurfaceFormatKHR& chosen) {
  uint32_t count = 0;
  VkResult result =
      vkGetPhysicalDeviceSurfaceFormatsKHR(context.physical, context.surface, &count, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(count);
  if (result == VK_SUCCESS && count > 0) {
    result = vkGetPhysicalDeviceSurfaceFormatsKHR(context.physical, context.surface, &count,
                                                  formats.data());
  }
  if (result < 0) return result;
  formats.resize(count);
  if (formats.empty()) return VK_ERROR_FORMAT_NOT_SUPPORTED;
  chosen = formats.front();
  for (const VkSurfaceFormatKHR& f : formats) {
    if (f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM) {
      chosen = f;
      break;
    }
  }
  return VK_SUCCESS;
}

VkPresentModeKHR ChoosePresentMode(const VulkanContext& context) {
  uint32_t count = 0;
  vkGetPhysicalDeviceSurfacePresentModesKHR(context.physical, context.surface, &count, nullptr);
  std::vector<VkPresentModeKHR> modes(count);
  vkGetPhysicalDeviceSurfacePresentModesKHR(context.physical, context.surface, &count,
                                            modes.data());
  modes.resize(count);
  const bool mailbox =
      std::find(modes.begin(), modes.end(), VK_PRESENT_MODE_MAILBOX_KHR) != modes.end();
  return mailbox ? VK_PRESENT_MODE_MAILBOX_KHR : VK_PRESENT_MODE_FIFO_KHR;
}

VkCompositeAlphaFlagBitsKHR ChooseAlpha(const VkSurfaceCapabilitiesKHR& caps) {
  const VkCompositeAlphaFlagBitsKHR opaque = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  if ((caps.supportedCompositeAlpha & opaque) != 0) return opaque;
  // Some window systems offer only inherit or pre-multiplied: take the lowest bit offered.
  return static_cast<VkCompositeAlphaFlagBitsKHR>(caps.supportedCompositeAlpha &
                                                  (~caps.supportedCompositeAlpha + 1));
}

}  // namespace

VkResult SurfaceExtent(const VulkanContext& context, int width, int height,
                       VkSurfaceCapabilitiesKHR& caps, VkExtent2D& extent, std::string& error) {
  extent = {0, 0};
  const VkResult result =
      vkGetPhysicalDeviceSurfaceCapabilitiesKHR(context.physical, context.surface, &caps);
  if (result != VK_SUCCESS) {
    error = StepFailed("read the surface's capabilities", result);
    return result;
  }
  if (width <= 0 || height <= 0) return VK_SUCCESS;
  extent.width = std::clamp(static_cast<uint32_t>(width), caps.minImageExtent.width,
                            caps.maxImageExtent.width);
  extent.height = std::clamp(static_cast<uint32_t>(height), caps.minImageExtent.height,
                             caps.maxImageExtent.height);
  if (extent.width == 0 || extent.height == 0) extent = {0, 0};
  return VK_SUCCESS;
}

VkResult Swapchain::Create(const VulkanContext& context, int width, int height,
                           std::string& error) {
  VkSurfaceCapabilitiesKHR caps;
  VkResult result = SurfaceExtent(context, width, height, caps, extent, error);
  if (result != VK_SUCCESS || extent.width == 0) return result;
  VkSurfaceFormatKHR chosen{};
  result = ChooseFormat(context, chosen);
  if (result != VK_SUCCESS) {
    extent = {0, 0};
    error = StepFailed("find an image format for the surface", result);
    return result;
  }

  uint32_t image_count = std::max(2u, caps.minImageCount);
  if (caps.maxImageCount > 0) image_count = std::min(image_count, caps.maxImageCount);
  readable = (caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_SRC_BIT) != 0;
  VkSwapchainCreateInfoKHR info{};
  info.sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR;
  info.surface = context.surface;
  info.minImageCount = image_count;
  info.imageFormat = chosen.format;
  info.imageColorSpace = chosen.colorSpace;
  info.imageExtent = extent;
  info.imageArrayLayers = 1;
  info.imageUsage =
      VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | (readable ? VK_IMAGE_USAGE_TRANSFER_SRC_BIT : 0);
  info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.preTransform = caps.currentTransform;
  info.compositeAlpha = ChooseAlpha(caps);
  info.presentMode = ChoosePresentMode(context);
  info.clipped = VK_TRUE;
  result = vkCreateSwapchainKHR(context.device, &info, nullptr, &handle);
  if (result != VK_SUCCESS) {
    handle = VK_NULL_HANDLE;
    extent = {0, 0};
    error = StepFailed("create the swapchain", result);
    return result;
  }
  format = chosen.format;
  result = CreateViews(context.device, error);
  if (result != VK_SUCCESS) Destroy(context.device);
  return result;
}

VkResult Swapchain::CreateViews(VkDevice device, std::string& error) {
  uint32_t count = 0;
  VkResult result = vkGetSwapchainImagesKHR(device, handle, &count, nullptr);
  images.resize(count);
  if (result == VK_SUCCESS) result = vkGetSwapchainImagesKHR(device, handle, &count, images.data());
  if (result != VK_SUCCESS) {
    error = StepFailed("get the swapchain's images", result);
    return result;
  }
  VkSemaphoreCreateInfo semaphore_info{};
  semaphore_info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  for (VkImage image : images) {
    VkImageView view = VK_NULL_HANDLE;
    result = CreateView(device, image, format, view);
    if (!Made(result, view, "create a view of a swapchain image", error)) return result;
    views.push_back(view);
    VkSemaphore semaphore = VK_NULL_HANDLE;
    result = vkCreateSemaphore(device, &semaphore_info, nullptr, &semaphore);
    if (!Made(result, semaphore, "create a present semaphore", error)) return result;
    render_finished.push_back(semaphore);
  }
  return VK_SUCCESS;
}

void Swapchain::Destroy(VkDevice device) {
  for (VkImageView view : views) vkDestroyImageView(device, view, nullptr);
  for (VkSemaphore semaphore : render_finished) vkDestroySemaphore(device, semaphore, nullptr);
  views.clear();
  render_finished.clear();
  images.clear();
  if (handle != VK_NULL_HANDLE) vkDestroySwapchainKHR(device, handle, nullptr);
  handle = VK_NULL_HANDLE;
}

}  // namespace halvex::vis
