#include "vis/vk_soft_display.h"

#include <cstring>

#include "vis/vk_context.h"
#include "vis/vk_result.h"
#include "vis/vk_swapchain.h"

namespace halvex::vis {

VkResult SoftDisplay::Create(const VulkanContext& context, int width, int height,
                             Swapchain& swapchain, std::string& error) {
  // Asked even though no swapchain is made: it is also how a lost window shows itself.
  VkSurfaceCapabilitiesKHR caps;
  VkExtent2D wanted;
  VkResult result = SurfaceExtent(context, width, height, caps, wanted, error);
  extent = {0, 0};
  swapchain.extent = extent;
  if (result != VK_SUCCESS || wanted.width == 0) return result;
  for (HostImage& picture : images) {
    result = CreateHostImage(context, wanted, kFormat,
                             VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT,
                             picture);
    if (result != VK_SUCCESS) {
      Destroy(context.device, swapchain);
      error = StepFailed("create the window's picture", result);
      return result;
    }
  }
  if (!presenter.Resize(wanted.width, wanted.height)) {
    Destroy(context.device, swapchain);
    error = "cannot share memory with the X server for the window's picture";
    return VK_ERROR_OUT_OF_HOST_MEMORY;
  }
  extent = wanted;
  swapchain.extent = extent;
  swapchain.format = kFormat;
  swapchain.readable = true;
  for (const HostImage& picture : images) {
    swapchain.images.push_back(picture.image.image);
    swapchain.views.push_back(picture.image.view);
  }
  return VK_SUCCESS;
}

void SoftDisplay::Destroy(VkDevice device, Swapchain& swapchain) {
  // The views are ours, not the swapchain's to destroy.
  swapchain.images.clear();
  swapchain.views.clear();
  for (HostImage& picture : images) DestroyHostImage(device, picture);
  presenter.Resize(0, 0);
  extent = {0, 0};
}

void SoftDisplay::Close(VkDevice device, Swapchain& swapchain) {
  Destroy(device, swapchain);
  presenter.Close();
}

bool SoftDisplay::Show(uint32_t slot) {
  uint8_t* into = presenter.Pixels(slot);
  if (into == nullptr || slot >= images.size() || images[slot].rows == nullptr) return true;
  const HostImage& picture = images[slot];
  const std::size_t row_bytes = std::size_t{extent.width} * 4;
  if (picture.row_pitch == row_bytes) {
    std::memcpy(into, picture.rows, row_bytes * extent.height);
  } else {
    for (uint32_t y = 0; y < extent.height; ++y) {
      std::memcpy(into + y * row_bytes, picture.rows + y * picture.row_pitch, row_bytes);
    }
  }
  return presenter.Show(slot);
}

}  // namespace halvex::vis
