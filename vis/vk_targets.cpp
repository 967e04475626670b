#include "vis/vk_targets.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vis/vk_context.h"
#include "vis/vk_renderer.h"
#include "vis/vk_result.h"

namespace halvex::vis {

namespace {

// 16-bit float channels so that slow decays do not band; 8 bits when the device cannot.
constexpr VkFormat kFeedbackFormat = VK_FORMAT_R16G16B16A16_SFLOAT;
constexpr VkFormat kFallbackFeedbackFormat = VK_FORMAT_R8G8B8A8_UNORM;
static_assert(FeedbackTargets::kWarpGridSide == VulkanRenderer::kMaxMeshSide);

VkFormat FeedbackFormat(const VulkanContext& context) {
  VkFormatProperties properties;
  vkGetPhysicalDeviceFormatProperties(context.physical, kFeedbackFormat, &properties);
  // Blending is needed too: the waves are blended into the feedback image.
  const VkFormatFeatureFlags needed =
      VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT |
      VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT |
      VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT;
  if ((properties.optimalTilingFeatures & needed) == needed) return kFeedbackFormat;
  std::fprintf(stderr, "halvex-vis: %s lacks RGBA16F rendering; trails will band\n",
               context.device_name.c_str());
  return kFallbackFeedbackFormat;
}

// Texture coordinates need 32-bit floats: 16 bits would move the picture by a fraction of a
// pixel, and the loop would add those errors up frame after frame.
bool FiltersWarpGrid(const VulkanContext& context) {
  VkFormatProperties properties;
  vkGetPhysicalDeviceFormatProperties(context.physical, FeedbackTargets::kWarpGridFormat,
                                      &properties);
  const VkFormatFeatureFlags needed = VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT |
                                      VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT |
                                      VK_FORMAT_FEATURE_TRANSFER_DST_BIT;
  return (properties.optimalTilingFeatures & needed) == needed;
}

}  // namespace

float ChooseRenderScale(float requested, bool cpu_device, float minimum, float cpu_scale) {
  // Automatic: a software device pays CPU time for every pixel of the feedback chain.
  if (requested > 0.0f) return std::clamp(requested, minimum, 1.0f);
  return cpu_device ? cpu_scale : 1.0f;
}

bool FeedbackTargets::Create(const VulkanContext& context, VkExtent2D window_extent,
                             float chosen_scale, std::string& error) {
  initialised = false;
  previous = 0;
  if (window_extent.width == 0 || window_extent.height == 0) return true;
  scale = chosen_scale;
  const auto scaled_side = [&](uint32_t side) {
    return std::max(1u, static_cast<uint32_t>(std::lround(static_cast<float>(side) * scale)));
  };
  extent = {scaled_side(window_extent.width), scaled_side(window_extent.height)};
  format = FeedbackFormat(context);
  for (DeviceImage& image : feedback) {
    const VkResult result = CreateImage(context, extent, format, image);
    if (result != VK_SUCCESS) {
      Destroy(context.device);
      error = StepFailed("create a feedback image", result);
      return false;
    }
  }
  if (extent.width != window_extent.width || extent.height != window_extent.height) {
    const VkResult result = CreateImage(context, extent, kScaledFormat, scaled_picture);
    if (result != VK_SUCCESS) {
      Destroy(context.device);
      error = StepFailed("create the scaled picture", result);
      return false;
    }
    if (FiltersWarpGrid(context)) {
      const VkResult grid =
          CreateImage(context, {kWarpGridSide, kWarpGridSide}, kWarpGridFormat, warp_grid,
                      VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_TRANSFER_DST_BIT);
      if (grid != VK_SUCCESS) {
        Destroy(context.device);
        error = StepFailed("create the warp grid", grid);
        return false;
      }
    }
  }
  return true;
}

void FeedbackTargets::Destroy(VkDevice device) {
  for (DeviceImage& image : feedback) DestroyImage(device, image);
  DestroyImage(device, scaled_picture);
  DestroyImage(device, warp_grid);
  initialised = false;
}

}  // namespace halvex::vis
