#include "vis/vk_soft_display.h"

#include <algorithm>

#include "vis/host_lines.h"
#include "vis/vk_context.h"
#include "vis/vk_result.h"
#include "vis/vk_swapchain.h"
#include "vis/vk_targets.h"

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
  if (!presenter.Resize(wanted.width, wanted.height)) {
    error = "cannot share memory with the X server for the window's picture";
    return VK_ERROR_OUT_OF_HOST_MEMORY;
  }
  extent = wanted;
  swapchain.extent = extent;
  swapchain.format = kFormat;
  return VK_SUCCESS;
}

VkResult SoftDisplay::CreatePictures(const VulkanContext& context, VkExtent2D size,
                                     std::string& error) {
  for (HostImage& picture : pictures) {
    const VkResult result = CreateHostImage(context, size, FeedbackTargets::kScaledFormat,
                                            VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT, picture);
    if (result != VK_SUCCESS) {
      for (HostImage& made : pictures) DestroyHostImage(context.device, made);
      error = StepFailed("create the window's picture", result);
      return result;
    }
  }
  stretch.Configure(size.width, size.height, extent.width, extent.height);
  return VK_SUCCESS;
}

void SoftDisplay::Destroy(VkDevice device, Swapchain& swapchain) {
  for (HostImage& picture : pictures) DestroyHostImage(device, picture);
  presenter.Resize(0, 0);
  extent = {0, 0};
  swapchain.extent = extent;
}

void SoftDisplay::Close(VkDevice device, Swapchain& swapchain) {
  Destroy(device, swapchain);
  presenter.Close();
}

void SoftDisplay::KeepOverlay(uint32_t slot, const std::vector<DrawVertex>& overlay,
                              std::size_t count) {
  std::vector<DrawVertex>& kept = overlays[slot];
  kept.assign(overlay.begin(),
              overlay.begin() + static_cast<std::ptrdiff_t>(std::min(count, overlay.size())));
}

void SoftDisplay::Compose(uint32_t slot, uint8_t* into, std::size_t pitch) {
  const HostImage& picture = pictures[slot];
  if (picture.rows == nullptr) return;
  stretch.Run(picture.rows, picture.row_pitch, into, pitch);
  const std::vector<DrawVertex>& overlay = overlays[slot];
  BlendLineStrip(overlay.data(), overlay.size(), into, pitch, extent.width, extent.height);
}

bool SoftDisplay::Show(uint32_t slot) {
  uint8_t* into = presenter.Pixels(slot);
  if (into == nullptr || slot >= pictures.size() || pictures[slot].rows == nullptr) return true;
  Compose(slot, into, std::size_t{extent.width} * 4);
  return presenter.Show(slot);
}

}  // namespace halvex::vis
