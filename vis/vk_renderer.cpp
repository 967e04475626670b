#include "vis/vk_renderer.h"

#include <vulkan/vulkan.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/shaders/spirv.h"
#include "vis/window.h"

namespace halvex::vis {

namespace {

constexpr const char* kValidationLayer = "VK_LAYER_KHRONOS_validation";
// 16-bit float channels so that slow decays do not band; 8 bits when the device cannot.
constexpr VkFormat kFeedbackFormat = VK_FORMAT_R16G16B16A16_SFLOAT;
constexpr VkFormat kFallbackFeedbackFormat = VK_FORMAT_R8G8B8A8_UNORM;
// The finished picture at the feedback size, before it is stretched to the window: already
// in display range, and 8 bits keep the stretch on a software rasteriser's fast path.
constexpr VkFormat kScaledFormat = VK_FORMAT_R8G8B8A8_UNORM;
// Descriptor sets: the two feedback images, then the scaled picture.
constexpr uint32_t kScaledSet = 2;
constexpr VkDeviceSize kMeshBytes = VulkanRenderer::kMeshVertexCapacity * sizeof(MeshVertex);
constexpr VkDeviceSize kLineBytes = VulkanRenderer::kLineVertexCapacity * sizeof(DrawVertex);
static_assert(kMeshBytes == 884736 && kLineBytes == 1572864);
static_assert(sizeof(FrameConstants) == 48, "the push-constant range is 48 bytes");
constexpr VkDeviceSize kCustomLineBytes =
    VulkanRenderer::kCustomLineCapacity * sizeof(DrawVertex);
constexpr VkDeviceSize kShapeBytes = VulkanRenderer::kShapeVertexCapacity * sizeof(ShapeVertex);
// Where dots.vert finds its point size in the push constants (FrameConstants::reserved).
constexpr uint32_t kPointSizeOffset = 24;
static_assert(offsetof(FrameConstants, reserved) == kPointSizeOffset);
constexpr VkClearColorValue kBlack = {{0.0f, 0.0f, 0.0f, 1.0f}};

int Score(const DeviceCandidate& device, const char* gpu_filter) {
  int score = device.discrete ? 100 : device.integrated ? 50 : 10;
  if (device.api_version < VK_API_VERSION_1_3) score -= 200;
  if (gpu_filter != nullptr &&
      (gpu_filter[0] == '\0' || device.name.find(gpu_filter) != std::string::npos)) {
    score += 1000;
  }
  return score;
}

// The fixed-function pieces that differ between the five pipelines.
enum class VertexLayout { None, Mesh, Draw, Shape };
enum class Blend { None, Alpha, Additive };

struct MappedBuffer {
  VkBuffer buffer = VK_NULL_HANDLE;
  VkDeviceMemory memory = VK_NULL_HANDLE;
  void* mapped = nullptr;
  VkDeviceSize size = 0;
};

VKAPI_ATTR VkBool32 VKAPI_CALL OnValidationMessage(
    VkDebugUtilsMessageSeverityFlagBitsEXT, VkDebugUtilsMessageTypeFlagsEXT,
    const VkDebugUtilsMessengerCallbackDataEXT* data, void* user) {
  static_cast<std::atomic<uint32_t>*>(user)->fetch_add(1);
  std::fprintf(stderr, "halvex-vis: vulkan: %s\n", data->pMessage);
  return VK_FALSE;
}

bool HasLayer(const char* name) {
  uint32_t count = 0;
  vkEnumerateInstanceLayerProperties(&count, nullptr);
  std::vector<VkLayerProperties> layers(count);
  vkEnumerateInstanceLayerProperties(&count, layers.data());
  return std::any_of(layers.begin(), layers.begin() + count,
                     [&](const VkLayerProperties& l) { return std::strcmp(l.layerName, name) == 0; });
}

bool HasInstanceExtension(const char* layer, const char* name) {
  uint32_t count = 0;
  vkEnumerateInstanceExtensionProperties(layer, &count, nullptr);
  std::vector<VkExtensionProperties> extensions(count);
  vkEnumerateInstanceExtensionProperties(layer, &count, extensions.data());
  return std::any_of(extensions.begin(), extensions.begin() + count,
                     [&](const VkExtensionProperties& e) {
                       return std::strcmp(e.extensionName, name) == 0;
                     });
}

}  // namespace

bool ChooseDevice(const std::vector<DeviceCandidate>& devices, const char* gpu_filter,
                  std::size_t& chosen, std::string& error) {
  std::string seen;
  bool found = false;
  int best = INT_MIN;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (i > 0) seen += ", ";
    seen += devices[i].name;
    if (!devices[i].can_present) continue;
    const int score = Score(devices[i], gpu_filter);
    if (!found || score > best) {  // equal scores keep the earlier device
      found = true;
      best = score;
      chosen = i;
    }
  }
  if (!found) {
    error = "no Vulkan device can both render and present to this window";
    error += devices.empty() ? " (none found)" : " (saw: " + seen + ")";
    return false;
  }
  if (best < 10) {
    error = "the only usable device (" + devices[chosen].name +
            ") does not report Vulkan 1.3, which this renderer needs";
    return false;
  }
  return true;
}

struct VulkanRenderer::Impl {
  VisWindow* window = nullptr;
  VkInstance instance = VK_NULL_HANDLE;
  VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  VkPhysicalDevice physical = VK_NULL_HANDLE;
  VkDevice device = VK_NULL_HANDLE;
  uint32_t queue_family = 0;
  VkQueue queue = VK_NULL_HANDLE;
  std::string device_name;
  VkFormat feedback_format = kFeedbackFormat;
  bool cpu_device = false;
  float requested_scale = 0.0f;  // 0: automatic
  float scale = 1.0f;
  VkExtent2D feedback_extent = {1280, 720};

  VkSwapchainKHR swapchain = VK_NULL_HANDLE;
  VkFormat swapchain_format = VK_FORMAT_B8G8R8A8_UNORM;
  VkExtent2D extent = {1280, 720};
  bool swapchain_readable = false;  // transfer-source usage, for captures
  std::vector<VkImage> swapchain_images;
  std::vector<VkImageView> swapchain_views;
  // One per swapchain image: a present may still wait on its semaphore while the next
  // frame, on another image, signals its own.
  std::vector<VkSemaphore> render_finished;

  std::array<VkImage, 2> feedback_images = {};
  std::array<VkDeviceMemory, 2> feedback_memory = {};
  std::array<VkImageView, 2> feedback_views = {};
  uint32_t previous = 0;
  // Present only while the feedback chain is smaller than the window.
  VkImage scaled_image = VK_NULL_HANDLE;
  VkDeviceMemory scaled_memory = VK_NULL_HANDLE;
  VkImageView scaled_view = VK_NULL_HANDLE;

  VkSampler sampler = VK_NULL_HANDLE;
  VkDescriptorSetLayout set_layout = VK_NULL_HANDLE;
  VkDescriptorPool descriptor_pool = VK_NULL_HANDLE;
  std::array<VkDescriptorSet, 3> sets = {};
  VkPipelineLayout pipeline_layout = VK_NULL_HANDLE;
  VkPipeline warp = VK_NULL_HANDLE;
  VkPipeline waves_alpha = VK_NULL_HANDLE;
  VkPipeline waves_additive = VK_NULL_HANDLE;
  VkPipeline composite = VK_NULL_HANDLE;
  VkPipeline overlay = VK_NULL_HANDLE;
  VkPipeline dots_alpha = VK_NULL_HANDLE;
  VkPipeline dots_additive = VK_NULL_HANDLE;
  VkPipeline shapes_alpha = VK_NULL_HANDLE;
  VkPipeline shapes_additive = VK_NULL_HANDLE;
  VkPipeline composite_scaled = VK_NULL_HANDLE;  // the composite into the scaled picture
  VkPipeline upscale = VK_NULL_HANDLE;
  bool wide_lines = false;  // thick custom waves and outlines; one pixel without it
  VkFormat pipeline_swapchain_format = VK_FORMAT_UNDEFINED;

  VkCommandPool command_pool = VK_NULL_HANDLE;
  VkCommandBuffer commands = VK_NULL_HANDLE;
  VkFence fence = VK_NULL_HANDLE;
  VkSemaphore image_available = VK_NULL_HANDLE;
  MappedBuffer mesh_buffer;
  MappedBuffer wave_buffer;
  MappedBuffer overlay_buffer;
  MappedBuffer custom_line_buffer;
  MappedBuffer shape_buffer;
  bool feedback_initialised = false;

  // Lost device or surface: every later frame is refused.
  VkResult fatal = VK_SUCCESS;
  std::atomic<uint32_t> validation_reports{0};

  // Test hooks.
  int override_width = -1;
  int override_height = -1;
  bool capture = false;
  MappedBuffer capture_buffer;
  VkExtent2D captured_extent = {0, 0};
  VkFormat captured_format = VK_FORMAT_UNDEFINED;
  bool captured = false;

  bool CreateInstance(std::string& error);
  bool PickDevice(std::string& error);
  bool CreateDevice(std::string& error);
  bool CreateSwapchain(std::string& error);
  bool CreateFeedbackTargets(std::string& error);
  bool CreateImage(VkExtent2D size, VkFormat format, VkImage& image, VkDeviceMemory& memory,
                   VkImageView& view);
  bool scaled() const { return scaled_view != VK_NULL_HANDLE; }
  bool CreateDescriptors(std::string& error);
  bool CreatePipelines(std::string& error);
  bool CreateCommands(std::string& error);
  bool CreateBuffers(std::string& error);
  VkPipeline BuildPipeline(VkShaderModule vertex, VkShaderModule fragment,
                           VkPrimitiveTopology topology, VertexLayout layout, Blend blend,
                           VkFormat format);
  bool CreateBuffer(VkDeviceSize size, VkBufferUsageFlags usage, MappedBuffer& out);
  uint32_t MemoryType(uint32_t bits, VkMemoryPropertyFlags flags) const;
  std::size_t FillMesh(const std::vector<MeshVertex>& mesh, std::size_t columns,
                       std::size_t rows);
  void Record(uint32_t image, uint32_t next, std::size_t mesh_count, std::size_t wave_count,
              std::size_t overlay_count, const FrameConstants& constants, bool additive,
              const CustomDraws* custom);
  // Copies the custom vertices into their buffers; false when they do not fit.
  bool FillCustom(const CustomDraws& custom);
  void DrawCustom(const CustomDraws& custom);
  void Barrier(VkImage image, VkImageLayout from, VkImageLayout to);
  void PointDescriptors();
  bool Frame(const std::vector<MeshVertex>& mesh, std::size_t columns, std::size_t rows,
             const std::vector<DrawVertex>& waves, const std::vector<DrawVertex>& overlay,
             const FrameConstants& constants, bool additive, const CustomDraws* custom);
  bool Resize();
  bool Check(VkResult result);
  void DrawableSize(int& width, int& height) const;
  void DestroyBuffer(MappedBuffer& buffer);
  void DestroyPipelines();
  void DestroySwapchain();
  void DestroyFeedback();
  void DestroyAll();
};

// Records a lost device or surface; true while drawing can go on.
bool VulkanRenderer::Impl::Check(VkResult result) {
  if (result == VK_ERROR_DEVICE_LOST || result == VK_ERROR_SURFACE_LOST_KHR) fatal = result;
  return fatal == VK_SUCCESS;
}

void VulkanRenderer::Impl::DrawableSize(int& width, int& height) const {
  if (override_width >= 0) {
    width = override_width;
    height = override_height;
    return;
  }
  window->DrawableSize(width, height);
}

bool VulkanRenderer::Impl::CreateInstance(std::string& error) {
  std::vector<const char*> extensions = window->RequiredInstanceExtensions();
  std::vector<const char*> layers;
  bool debug_utils = false;
  if (std::getenv("HALVEX_VIS_VALIDATE") != nullptr) {
    if (HasLayer(kValidationLayer)) {
      layers.push_back(kValidationLayer);
      debug_utils = HasInstanceExtension(kValidationLayer, VK_EXT_DEBUG_UTILS_EXTENSION_NAME) ||
                    HasInstanceExtension(nullptr, VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
      if (debug_utils) extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
    } else {
      std::fprintf(stderr,
                   "halvex-vis: HALVEX_VIS_VALIDATE is set but %s is not installed; "
                   "running without validation\n",
                   kValidationLayer);
    }
  }

  VkDebugUtilsMessengerCreateInfoEXT messenger_info{};
  messenger_info.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  messenger_info.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT |
                                   VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  messenger_info.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                               VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                               VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  messenger_info.pfnUserCallback = OnValidationMessage;
  messenger_info.pUserData = &validation_reports;

  VkApplicationInfo app{};
  app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
  app.pApplicationName = "halvex-vis";
  app.apiVersion = VK_API_VERSION_1_3;
  VkInstanceCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
  info.pNext = debug_utils ? &messenger_info : nullptr;  // also reports during creation
  info.pApplicationInfo = &app;
  info.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
  info.ppEnabledExtensionNames = extensions.data();
  info.enabledLayerCount = static_cast<uint32_t>(layers.size());
  info.ppEnabledLayerNames = layers.data();
  if (vkCreateInstance(&info, nullptr, &instance) != VK_SUCCESS) {
    instance = VK_NULL_HANDLE;
    error = "vkCreateInstance failed";
    return false;
  }
  if (debug_utils) {
    auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkCreateDebugUtilsMessengerEXT"));
    if (create == nullptr || create(instance, &messenger_info, nullptr, &messenger) != VK_SUCCESS) {
      messenger = VK_NULL_HANDLE;
    }
  }
  if (!window->CreateSurface(instance, surface)) {
    surface = VK_NULL_HANDLE;
    error = "could not create a Vulkan surface for the window";
    return false;
  }
  return true;
}

bool VulkanRenderer::Impl::PickDevice(std::string& error) {
  uint32_t count = 0;
  if (vkEnumeratePhysicalDevices(instance, &count, nullptr) != VK_SUCCESS) count = 0;
  std::vector<VkPhysicalDevice> physicals(count);
  if (count > 0 && vkEnumeratePhysicalDevices(instance, &count, physicals.data()) < 0) count = 0;
  physicals.resize(count);
  const char* gpu_filter = std::getenv("HALVEX_VIS_GPU");

  std::vector<DeviceCandidate> candidates;
  std::vector<uint32_t> families;
  for (VkPhysicalDevice candidate : physicals) {
    VkPhysicalDeviceProperties properties;
    vkGetPhysicalDeviceProperties(candidate, &properties);
    DeviceCandidate entry;
    entry.name = properties.deviceName;
    entry.discrete = properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
    entry.integrated = properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU;
    entry.api_version = properties.apiVersion;
    uint32_t family_count = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(candidate, &family_count, nullptr);
    std::vector<VkQueueFamilyProperties> family_list(family_count);
    vkGetPhysicalDeviceQueueFamilyProperties(candidate, &family_count, family_list.data());
    uint32_t family = 0;
    for (uint32_t f = 0; f < family_count && !entry.can_present; ++f) {
      VkBool32 presents = VK_FALSE;
      if ((family_list[f].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0 &&
          vkGetPhysicalDeviceSurfaceSupportKHR(candidate, f, surface, &presents) == VK_SUCCESS &&
          presents == VK_TRUE) {
        entry.can_present = true;
        family = f;
      }
    }
    candidates.push_back(std::move(entry));
    families.push_back(family);
  }
  std::size_t chosen = 0;
  if (!ChooseDevice(candidates, gpu_filter, chosen, error)) return false;
  physical = physicals[chosen];
  queue_family = families[chosen];
  device_name = candidates[chosen].name;
  VkPhysicalDeviceProperties chosen_properties;
  vkGetPhysicalDeviceProperties(physical, &chosen_properties);
  cpu_device = chosen_properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
  std::fprintf(stderr, "halvex-vis: rendering on %s\n", device_name.c_str());
  return true;
}

bool VulkanRenderer::Impl::CreateDevice(std::string& error) {
  const float priority = 1.0f;
  VkDeviceQueueCreateInfo queue_info{};
  queue_info.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
  queue_info.queueFamilyIndex = queue_family;
  queue_info.queueCount = 1;
  queue_info.pQueuePriorities = &priority;
  VkPhysicalDeviceVulkan13Features features13{};
  features13.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_VULKAN_1_3_FEATURES;
  features13.synchronization2 = VK_TRUE;
  features13.dynamicRendering = VK_TRUE;
  VkPhysicalDeviceFeatures supported{};
  vkGetPhysicalDeviceFeatures(physical, &supported);
  wide_lines = supported.wideLines == VK_TRUE;
  VkPhysicalDeviceFeatures2 features{};
  features.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_FEATURES_2;
  features.pNext = &features13;
  features.features.wideLines = supported.wideLines;
  const char* extension = VK_KHR_SWAPCHAIN_EXTENSION_NAME;
  VkDeviceCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
  info.pNext = &features;
  info.queueCreateInfoCount = 1;
  info.pQueueCreateInfos = &queue_info;
  info.enabledExtensionCount = 1;
  info.ppEnabledExtensionNames = &extension;
  if (vkCreateDevice(physical, &info, nullptr, &device) != VK_SUCCESS) {
    device = VK_NULL_HANDLE;
    error = "vkCreateDevice failed (is the driver Vulkan 1.3?)";
    return false;
  }
  vkGetDeviceQueue(device, queue_family, 0, &queue);
  return true;
}

// A zero-size drawable (a minimised window) leaves the swapchain null; frames are skipped
// until a resize brings a real size.
bool VulkanRenderer::Impl::CreateSwapchain(std::string& error) {
  int width = 0;
  int height = 0;
  DrawableSize(width, height);
  VkSurfaceCapabilitiesKHR caps;
  const VkResult caps_result = vkGetPhysicalDeviceSurfaceCapabilitiesKHR(physical, surface, &caps);
  if (!Check(caps_result) || caps_result != VK_SUCCESS) {
    error = "vkCreateSwapchainKHR failed";
    return false;
  }
  extent = {0, 0};
  if (width <= 0 || height <= 0) return true;
  extent.width = std::clamp(static_cast<uint32_t>(width), caps.minImageExtent.width,
                            caps.maxImageExtent.width);
  extent.height = std::clamp(static_cast<uint32_t>(height), caps.minImageExtent.height,
                             caps.maxImageExtent.height);
  if (extent.width == 0 || extent.height == 0) {
    extent = {0, 0};
    return true;
  }

  uint32_t format_count = 0;
  vkGetPhysicalDeviceSurfaceFormatsKHR(physical, surface, &format_count, nullptr);
  std::vector<VkSurfaceFormatKHR> formats(format_count);
  vkGetPhysicalDeviceSurfaceFormatsKHR(physical, surface, &format_count, formats.data());
  formats.resize(format_count);
  if (formats.empty()) {
    error = "vkCreateSwapchainKHR failed";
    return false;
  }
  VkSurfaceFormatKHR chosen = formats.front();
  for (const VkSurfaceFormatKHR& f : formats) {
    if (f.format == VK_FORMAT_B8G8R8A8_UNORM || f.format == VK_FORMAT_R8G8B8A8_UNORM) {
      chosen = f;
      break;
    }
  }
  uint32_t mode_count = 0;
  vkGetPhysicalDeviceSurfacePresentModesKHR(physical, surface, &mode_count, nullptr);
  std::vector<VkPresentModeKHR> modes(mode_count);
  vkGetPhysicalDeviceSurfacePresentModesKHR(physical, surface, &mode_count, modes.data());
  modes.resize(mode_count);
  const bool mailbox =
      std::find(modes.begin(), modes.end(), VK_PRESENT_MODE_MAILBOX_KHR) != modes.end();

  uint32_t image_count = std::max(2u, caps.minImageCount);
  if (caps.maxImageCount > 0) image_count = std::min(image_count, caps.maxImageCount);
  swapchain_readable = (caps.supportedUsageFlags & VK_IMAGE_USAGE_TRANSFER_SRC_BIT) != 0;
  VkCompositeAlphaFlagBitsKHR alpha = VK_COMPOSITE_ALPHA_OPAQUE_BIT_KHR;
  if ((caps.supportedCompositeAlpha & alpha) == 0) {
    // Some window systems offer only inherit or pre-multiplied: take the lowest bit offered.
    alpha = static_cast<VkCompositeAlphaFlagBitsKHR>(caps.supportedCompositeAlpha &
                                                     (~caps.supportedCompositeAlpha + 1));
  }

  VkSwapchainCreateInfoKHR info{};
  info.sType = VK_STRUCTURE_TYPE_SWAPCHAIN_CREATE_INFO_KHR;
  info.surface = surface;
  info.minImageCount = image_count;
  info.imageFormat = chosen.format;
  info.imageColorSpace = chosen.colorSpace;
  info.imageExtent = extent;
  info.imageArrayLayers = 1;
  info.imageUsage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT |
                    (swapchain_readable ? VK_IMAGE_USAGE_TRANSFER_SRC_BIT : 0);
  info.imageSharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.preTransform = caps.currentTransform;
  info.compositeAlpha = alpha;
  info.presentMode = mailbox ? VK_PRESENT_MODE_MAILBOX_KHR : VK_PRESENT_MODE_FIFO_KHR;
  info.clipped = VK_TRUE;
  const VkResult created = vkCreateSwapchainKHR(device, &info, nullptr, &swapchain);
  if (created != VK_SUCCESS) {
    Check(created);
    swapchain = VK_NULL_HANDLE;
    extent = {0, 0};
    error = "vkCreateSwapchainKHR failed";
    return false;
  }
  swapchain_format = chosen.format;

  uint32_t count = 0;
  vkGetSwapchainImagesKHR(device, swapchain, &count, nullptr);
  swapchain_images.resize(count);
  vkGetSwapchainImagesKHR(device, swapchain, &count, swapchain_images.data());
  for (VkImage image : swapchain_images) {
    VkImageViewCreateInfo view{};
    view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    view.image = image;
    view.viewType = VK_IMAGE_VIEW_TYPE_2D;
    view.format = swapchain_format;
    view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    VkImageView handle = VK_NULL_HANDLE;
    VkSemaphoreCreateInfo semaphore_info{};
    semaphore_info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
    VkSemaphore semaphore = VK_NULL_HANDLE;
    const bool ok = vkCreateImageView(device, &view, nullptr, &handle) == VK_SUCCESS;
    if (ok) swapchain_views.push_back(handle);
    if (!ok || vkCreateSemaphore(device, &semaphore_info, nullptr, &semaphore) != VK_SUCCESS) {
      DestroySwapchain();
      error = "vkCreateSwapchainKHR failed";
      return false;
    }
    render_finished.push_back(semaphore);
  }
  return true;
}

bool VulkanRenderer::Impl::CreateFeedbackTargets(std::string& error) {
  feedback_initialised = false;
  previous = 0;
  if (extent.width == 0 || extent.height == 0) return true;
  // Automatic: a software device pays CPU time for every pixel of the feedback chain.
  if (requested_scale > 0.0f) {
    scale = std::clamp(requested_scale, VulkanRenderer::kMinRenderScale, 1.0f);
  } else {
    scale = cpu_device ? VulkanRenderer::kCpuRenderScale : 1.0f;
  }
  const auto scaled = [&](uint32_t side) {
    return std::max(1u, static_cast<uint32_t>(std::lround(static_cast<float>(side) * scale)));
  };
  feedback_extent = {scaled(extent.width), scaled(extent.height)};
  VkFormatProperties properties;
  vkGetPhysicalDeviceFormatProperties(physical, kFeedbackFormat, &properties);
  // Blending is needed too: the waves are blended into the feedback image.
  const VkFormatFeatureFlags needed =
      VK_FORMAT_FEATURE_SAMPLED_IMAGE_BIT | VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT |
      VK_FORMAT_FEATURE_SAMPLED_IMAGE_FILTER_LINEAR_BIT |
      VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT;
  feedback_format = kFeedbackFormat;
  if ((properties.optimalTilingFeatures & needed) != needed) {
    feedback_format = kFallbackFeedbackFormat;
    std::fprintf(stderr, "halvex-vis: %s lacks RGBA16F rendering; trails will band\n",
                 device_name.c_str());
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (!CreateImage(feedback_extent, feedback_format, feedback_images[i], feedback_memory[i],
                     feedback_views[i])) {
      DestroyFeedback();
      error = "could not create the feedback target";
      return false;
    }
  }
  if ((feedback_extent.width != extent.width || feedback_extent.height != extent.height) &&
      !CreateImage(feedback_extent, kScaledFormat, scaled_image, scaled_memory, scaled_view)) {
    DestroyFeedback();
    error = "could not create the feedback target";
    return false;
  }
  return true;
}

// A sampled colour-attachment image in device-local memory; false leaves handles to destroy.
bool VulkanRenderer::Impl::CreateImage(VkExtent2D size, VkFormat format, VkImage& image,
                                       VkDeviceMemory& memory, VkImageView& view) {
  VkImageCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
  info.imageType = VK_IMAGE_TYPE_2D;
  info.format = format;
  info.extent = {size.width, size.height, 1};
  info.mipLevels = 1;
  info.arrayLayers = 1;
  info.samples = VK_SAMPLE_COUNT_1_BIT;
  info.tiling = VK_IMAGE_TILING_OPTIMAL;
  info.usage = VK_IMAGE_USAGE_SAMPLED_BIT | VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  info.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
  if (vkCreateImage(device, &info, nullptr, &image) != VK_SUCCESS) {
    image = VK_NULL_HANDLE;
    return false;
  }
  VkMemoryRequirements needs;
  vkGetImageMemoryRequirements(device, image, &needs);
  VkMemoryAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = needs.size;
  allocation.memoryTypeIndex =
      MemoryType(needs.memoryTypeBits, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT);
  if (vkAllocateMemory(device, &allocation, nullptr, &memory) != VK_SUCCESS) {
    memory = VK_NULL_HANDLE;
    return false;
  }
  if (vkBindImageMemory(device, image, memory, 0) != VK_SUCCESS) return false;
  VkImageViewCreateInfo view_info{};
  view_info.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
  view_info.image = image;
  view_info.viewType = VK_IMAGE_VIEW_TYPE_2D;
  view_info.format = format;
  view_info.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  if (vkCreateImageView(device, &view_info, nullptr, &view) != VK_SUCCESS) {
    view = VK_NULL_HANDLE;
    return false;
  }
  return true;
}

void VulkanRenderer::Impl::PointDescriptors() {
  const std::array<VkImageView, 3> views = {feedback_views[0], feedback_views[1], scaled_view};
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

bool VulkanRenderer::Impl::CreateDescriptors(std::string& error) {
  VkSamplerCreateInfo sampler_info{};
  sampler_info.sType = VK_STRUCTURE_TYPE_SAMPLER_CREATE_INFO;
  sampler_info.magFilter = VK_FILTER_LINEAR;
  sampler_info.minFilter = VK_FILTER_LINEAR;
  sampler_info.mipmapMode = VK_SAMPLER_MIPMAP_MODE_NEAREST;
  sampler_info.addressModeU = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  sampler_info.addressModeV = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  sampler_info.addressModeW = VK_SAMPLER_ADDRESS_MODE_CLAMP_TO_EDGE;
  sampler_info.maxLod = 0.0f;
  if (vkCreateSampler(device, &sampler_info, nullptr, &sampler) != VK_SUCCESS) {
    sampler = VK_NULL_HANDLE;
    error = "sampler";
    return false;
  }
  VkDescriptorSetLayoutBinding binding{};
  binding.binding = 0;
  binding.descriptorType = VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER;
  binding.descriptorCount = 1;
  binding.stageFlags = VK_SHADER_STAGE_FRAGMENT_BIT;
  VkDescriptorSetLayoutCreateInfo layout_info{};
  layout_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
  layout_info.bindingCount = 1;
  layout_info.pBindings = &binding;
  if (vkCreateDescriptorSetLayout(device, &layout_info, nullptr, &set_layout) != VK_SUCCESS) {
    set_layout = VK_NULL_HANDLE;
    error = "descriptor layout";
    return false;
  }
  const VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, 3};
  VkDescriptorPoolCreateInfo pool_info{};
  pool_info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
  pool_info.maxSets = 3;
  pool_info.poolSizeCount = 1;
  pool_info.pPoolSizes = &size;
  const std::array<VkDescriptorSetLayout, 3> layouts = {set_layout, set_layout, set_layout};
  VkDescriptorSetAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
  allocation.descriptorSetCount = 3;
  allocation.pSetLayouts = layouts.data();
  if (vkCreateDescriptorPool(device, &pool_info, nullptr, &descriptor_pool) != VK_SUCCESS ||
      (allocation.descriptorPool = descriptor_pool,
       vkAllocateDescriptorSets(device, &allocation, sets.data()) != VK_SUCCESS)) {
    error = "descriptor pool";
    return false;
  }
  PointDescriptors();

  const VkPushConstantRange range{VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT, 0,
                                  sizeof(FrameConstants)};
  VkPipelineLayoutCreateInfo pipeline_info{};
  pipeline_info.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
  pipeline_info.setLayoutCount = 1;
  pipeline_info.pSetLayouts = &set_layout;
  pipeline_info.pushConstantRangeCount = 1;
  pipeline_info.pPushConstantRanges = &range;
  if (vkCreatePipelineLayout(device, &pipeline_info, nullptr, &pipeline_layout) != VK_SUCCESS) {
    pipeline_layout = VK_NULL_HANDLE;
    error = "pipeline layout";
    return false;
  }
  return true;
}

VkPipeline VulkanRenderer::Impl::BuildPipeline(VkShaderModule vertex, VkShaderModule fragment,
                                               VkPrimitiveTopology topology,
                                               VertexLayout layout, Blend blend,
                                               VkFormat format) {
  std::array<VkPipelineShaderStageCreateInfo, 2> stages{};
  for (auto& stage : stages) {
    stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stage.pName = "main";
  }
  stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
  stages[0].module = vertex;
  stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
  stages[1].module = fragment;

  VkVertexInputBindingDescription binding{0, 0, VK_VERTEX_INPUT_RATE_VERTEX};
  std::array<VkVertexInputAttributeDescription, 4> attributes{};
  VkPipelineVertexInputStateCreateInfo input{};
  input.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  if (layout == VertexLayout::Shape) {
    binding.stride = sizeof(ShapeVertex);
    attributes[0] = {0, 0, VK_FORMAT_R32G32_SFLOAT, offsetof(ShapeVertex, x)};
    attributes[1] = {1, 0, VK_FORMAT_R32G32_SFLOAT, offsetof(ShapeVertex, u)};
    attributes[2] = {2, 0, VK_FORMAT_R32G32B32A32_SFLOAT, offsetof(ShapeVertex, r)};
    attributes[3] = {3, 0, VK_FORMAT_R32_SFLOAT, offsetof(ShapeVertex, textured)};
    input.vertexBindingDescriptionCount = 1;
    input.pVertexBindingDescriptions = &binding;
    input.vertexAttributeDescriptionCount = 4;
    input.pVertexAttributeDescriptions = attributes.data();
  } else if (layout != VertexLayout::None) {
    const bool mesh = layout == VertexLayout::Mesh;
    binding.stride = mesh ? sizeof(MeshVertex) : sizeof(DrawVertex);
    attributes[0] = {0, 0, VK_FORMAT_R32G32_SFLOAT, 0};
    attributes[1] = {1, 0, mesh ? VK_FORMAT_R32G32_SFLOAT : VK_FORMAT_R32G32B32A32_SFLOAT, 8};
    input.vertexBindingDescriptionCount = 1;
    input.pVertexBindingDescriptions = &binding;
    input.vertexAttributeDescriptionCount = 2;
    input.pVertexAttributeDescriptions = attributes.data();
  }
  VkPipelineInputAssemblyStateCreateInfo assembly{};
  assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  assembly.topology = topology;
  VkPipelineViewportStateCreateInfo viewport{};
  viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
  viewport.viewportCount = 1;
  viewport.scissorCount = 1;
  VkPipelineRasterizationStateCreateInfo raster{};
  raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
  raster.polygonMode = VK_POLYGON_MODE_FILL;
  raster.cullMode = VK_CULL_MODE_NONE;
  raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
  raster.lineWidth = 1.0f;
  VkPipelineMultisampleStateCreateInfo multisample{};
  multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
  multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;

  VkPipelineColorBlendAttachmentState attachment{};
  attachment.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                              VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
  if (blend != Blend::None) {
    attachment.blendEnable = VK_TRUE;
    attachment.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
    attachment.dstColorBlendFactor =
        blend == Blend::Alpha ? VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA : VK_BLEND_FACTOR_ONE;
    attachment.colorBlendOp = VK_BLEND_OP_ADD;
    attachment.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
    attachment.dstAlphaBlendFactor = VK_BLEND_FACTOR_ZERO;
    attachment.alphaBlendOp = VK_BLEND_OP_ADD;
  }
  VkPipelineColorBlendStateCreateInfo blending{};
  blending.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
  blending.attachmentCount = 1;
  blending.pAttachments = &attachment;
  // Line pipelines take their width per draw (thick custom waves).
  const std::array<VkDynamicState, 3> dynamic_states = {
      VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_LINE_WIDTH};
  const bool lines = topology == VK_PRIMITIVE_TOPOLOGY_LINE_STRIP;
  VkPipelineDynamicStateCreateInfo dynamic{};
  dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
  dynamic.dynamicStateCount = lines ? 3u : 2u;
  dynamic.pDynamicStates = dynamic_states.data();
  VkPipelineRenderingCreateInfo rendering{};
  rendering.sType = VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO;
  rendering.colorAttachmentCount = 1;
  rendering.pColorAttachmentFormats = &format;

  VkGraphicsPipelineCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
  info.pNext = &rendering;
  info.stageCount = static_cast<uint32_t>(stages.size());
  info.pStages = stages.data();
  info.pVertexInputState = &input;
  info.pInputAssemblyState = &assembly;
  info.pViewportState = &viewport;
  info.pRasterizationState = &raster;
  info.pMultisampleState = &multisample;
  info.pColorBlendState = &blending;
  info.pDynamicState = &dynamic;
  info.layout = pipeline_layout;
  VkPipeline pipeline = VK_NULL_HANDLE;
  if (vkCreateGraphicsPipelines(device, VK_NULL_HANDLE, 1, &info, nullptr, &pipeline) !=
      VK_SUCCESS) {
    return VK_NULL_HANDLE;
  }
  return pipeline;
}

bool VulkanRenderer::Impl::CreatePipelines(std::string& error) {
  struct Code {
    const uint32_t* words;
    std::size_t bytes;
  };
  const std::array<Code, 10> code = {{
      {kWarpVertSpv, sizeof(kWarpVertSpv)},
      {kWarpFragSpv, sizeof(kWarpFragSpv)},
      {kDrawVertSpv, sizeof(kDrawVertSpv)},
      {kDrawFragSpv, sizeof(kDrawFragSpv)},
      {kCompositeVertSpv, sizeof(kCompositeVertSpv)},
      {kCompositeFragSpv, sizeof(kCompositeFragSpv)},
      {kShapeVertSpv, sizeof(kShapeVertSpv)},
      {kShapeFragSpv, sizeof(kShapeFragSpv)},
      {kDotsVertSpv, sizeof(kDotsVertSpv)},
      {kUpscaleFragSpv, sizeof(kUpscaleFragSpv)},
  }};
  std::array<VkShaderModule, 10> modules = {};
  bool ok = true;
  for (std::size_t i = 0; i < code.size() && ok; ++i) {
    VkShaderModuleCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    info.codeSize = code[i].bytes;
    info.pCode = code[i].words;
    ok = vkCreateShaderModule(device, &info, nullptr, &modules[i]) == VK_SUCCESS;
  }
  if (ok) {
    const auto [warp_vs, warp_fs, draw_vs, draw_fs, composite_vs, composite_fs, shape_vs, shape_fs,
                dots_vs, upscale_fs] = modules;
    const VkPrimitiveTopology triangles = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    const VkPrimitiveTopology lines = VK_PRIMITIVE_TOPOLOGY_LINE_STRIP;
    warp = BuildPipeline(warp_vs, warp_fs, triangles, VertexLayout::Mesh, Blend::None,
                         feedback_format);
    waves_alpha = BuildPipeline(draw_vs, draw_fs, lines, VertexLayout::Draw, Blend::Alpha,
                                feedback_format);
    waves_additive = BuildPipeline(draw_vs, draw_fs, lines, VertexLayout::Draw,
                                   Blend::Additive, feedback_format);
    composite = BuildPipeline(composite_vs, composite_fs, triangles, VertexLayout::None,
                              Blend::None, swapchain_format);
    overlay = BuildPipeline(draw_vs, draw_fs, lines, VertexLayout::Draw, Blend::Alpha,
                            swapchain_format);
    const VkPrimitiveTopology points = VK_PRIMITIVE_TOPOLOGY_POINT_LIST;
    dots_alpha = BuildPipeline(dots_vs, draw_fs, points, VertexLayout::Draw, Blend::Alpha,
                               feedback_format);
    dots_additive = BuildPipeline(dots_vs, draw_fs, points, VertexLayout::Draw, Blend::Additive,
                                  feedback_format);
    shapes_alpha = BuildPipeline(shape_vs, shape_fs, triangles, VertexLayout::Shape,
                                 Blend::Alpha, feedback_format);
    shapes_additive = BuildPipeline(shape_vs, shape_fs, triangles, VertexLayout::Shape,
                                    Blend::Additive, feedback_format);
    composite_scaled = BuildPipeline(composite_vs, composite_fs, triangles, VertexLayout::None,
                                     Blend::None, kScaledFormat);
    upscale = BuildPipeline(composite_vs, upscale_fs, triangles, VertexLayout::None, Blend::None,
                            swapchain_format);
    pipeline_swapchain_format = swapchain_format;
    ok = warp && waves_alpha && waves_additive && composite && overlay && dots_alpha &&
         dots_additive && shapes_alpha && shapes_additive && composite_scaled && upscale;
  }
  for (VkShaderModule module : modules) {
    if (module != VK_NULL_HANDLE) vkDestroyShaderModule(device, module, nullptr);
  }
  if (!ok) {
    DestroyPipelines();
    error = "pipeline creation failed";
  }
  return ok;
}

bool VulkanRenderer::Impl::CreateCommands(std::string& error) {
  VkCommandPoolCreateInfo pool_info{};
  pool_info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
  pool_info.flags = VK_COMMAND_POOL_CREATE_RESET_COMMAND_BUFFER_BIT;
  pool_info.queueFamilyIndex = queue_family;
  if (vkCreateCommandPool(device, &pool_info, nullptr, &command_pool) != VK_SUCCESS) {
    command_pool = VK_NULL_HANDLE;
    error = "command pool";
    return false;
  }
  VkCommandBufferAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
  allocation.commandPool = command_pool;
  allocation.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
  allocation.commandBufferCount = 1;
  VkFenceCreateInfo fence_info{};
  fence_info.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
  fence_info.flags = VK_FENCE_CREATE_SIGNALED_BIT;
  VkSemaphoreCreateInfo semaphore_info{};
  semaphore_info.sType = VK_STRUCTURE_TYPE_SEMAPHORE_CREATE_INFO;
  if (vkAllocateCommandBuffers(device, &allocation, &commands) != VK_SUCCESS ||
      vkCreateFence(device, &fence_info, nullptr, &fence) != VK_SUCCESS ||
      vkCreateSemaphore(device, &semaphore_info, nullptr, &image_available) != VK_SUCCESS) {
    error = "command buffer, fence or semaphore";
    return false;
  }
  return true;
}

uint32_t VulkanRenderer::Impl::MemoryType(uint32_t bits, VkMemoryPropertyFlags flags) const {
  VkPhysicalDeviceMemoryProperties memory;
  vkGetPhysicalDeviceMemoryProperties(physical, &memory);
  for (uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
    if ((bits & (1u << i)) != 0 && (memory.memoryTypes[i].propertyFlags & flags) == flags) {
      return i;
    }
  }
  return 0;
}

bool VulkanRenderer::Impl::CreateBuffer(VkDeviceSize size, VkBufferUsageFlags usage,
                                        MappedBuffer& out) {
  VkBufferCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
  info.size = size;
  info.usage = usage;
  info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
  if (vkCreateBuffer(device, &info, nullptr, &out.buffer) != VK_SUCCESS) {
    out.buffer = VK_NULL_HANDLE;
    return false;
  }
  VkMemoryRequirements needs;
  vkGetBufferMemoryRequirements(device, out.buffer, &needs);
  VkMemoryAllocateInfo allocation{};
  allocation.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
  allocation.allocationSize = needs.size;
  allocation.memoryTypeIndex = MemoryType(
      needs.memoryTypeBits,
      VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT);
  if (vkAllocateMemory(device, &allocation, nullptr, &out.memory) != VK_SUCCESS) {
    out.memory = VK_NULL_HANDLE;
    return false;
  }
  out.size = size;
  return vkBindBufferMemory(device, out.buffer, out.memory, 0) == VK_SUCCESS &&
         vkMapMemory(device, out.memory, 0, size, 0, &out.mapped) == VK_SUCCESS;
}

bool VulkanRenderer::Impl::CreateBuffers(std::string& error) {
  if (!CreateBuffer(kMeshBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, mesh_buffer) ||
      !CreateBuffer(kLineBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, wave_buffer) ||
      !CreateBuffer(kLineBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, overlay_buffer) ||
      !CreateBuffer(kCustomLineBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, custom_line_buffer) ||
      !CreateBuffer(kShapeBytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, shape_buffer)) {
    error = "vertex buffers";
    return false;
  }
  return true;
}

// Two triangles per grid cell, in clip space; a grid that does not match the vertex list
// draws nothing rather than reading past it.
std::size_t VulkanRenderer::Impl::FillMesh(const std::vector<MeshVertex>& mesh,
                                           std::size_t columns, std::size_t rows) {
  if (columns < 2 || rows < 2 || columns > mesh.size() / rows) return 0;
  auto* out = static_cast<MeshVertex*>(mesh_buffer.mapped);
  std::size_t count = 0;
  const auto put = [&](std::size_t i, std::size_t j) {
    const MeshVertex& v = mesh[j * columns + i];
    out[count++] = {2.0f * v.x - 1.0f, 2.0f * v.y - 1.0f, v.u, v.v};
  };
  for (std::size_t j = 0; j + 1 < rows; ++j) {
    for (std::size_t i = 0; i + 1 < columns; ++i) {
      if (count + 6 > kMeshVertexCapacity) return count;
      put(i, j);
      put(i + 1, j);
      put(i, j + 1);
      put(i + 1, j);
      put(i + 1, j + 1);
      put(i, j + 1);
    }
  }
  return count;
}

void VulkanRenderer::Impl::Barrier(VkImage image, VkImageLayout from, VkImageLayout to) {
  VkImageMemoryBarrier2 barrier{};
  barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2;
  barrier.srcStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
  barrier.srcAccessMask = VK_ACCESS_2_MEMORY_WRITE_BIT;
  barrier.dstStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
  barrier.dstAccessMask = VK_ACCESS_2_MEMORY_READ_BIT | VK_ACCESS_2_MEMORY_WRITE_BIT;
  barrier.oldLayout = from;
  barrier.newLayout = to;
  barrier.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  barrier.image = image;
  barrier.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
  VkDependencyInfo dependency{};
  dependency.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO;
  dependency.imageMemoryBarrierCount = 1;
  dependency.pImageMemoryBarriers = &barrier;
  vkCmdPipelineBarrier2(commands, &dependency);
}

namespace {

void BeginRendering(VkCommandBuffer commands, VkImageView view, VkExtent2D extent, bool clear) {
  VkRenderingAttachmentInfo attachment{};
  attachment.sType = VK_STRUCTURE_TYPE_RENDERING_ATTACHMENT_INFO;
  attachment.imageView = view;
  attachment.imageLayout = VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  attachment.loadOp = clear ? VK_ATTACHMENT_LOAD_OP_CLEAR : VK_ATTACHMENT_LOAD_OP_DONT_CARE;
  attachment.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
  attachment.clearValue.color = kBlack;
  VkRenderingInfo info{};
  info.sType = VK_STRUCTURE_TYPE_RENDERING_INFO;
  info.renderArea = {{0, 0}, extent};
  info.layerCount = 1;
  info.colorAttachmentCount = 1;
  info.pColorAttachments = &attachment;
  vkCmdBeginRendering(commands, &info);
  const VkViewport viewport{0.0f, 0.0f, static_cast<float>(extent.width),
                            static_cast<float>(extent.height), 0.0f, 1.0f};
  const VkRect2D scissor{{0, 0}, extent};
  vkCmdSetViewport(commands, 0, 1, &viewport);
  vkCmdSetScissor(commands, 0, 1, &scissor);
}

}  // namespace

bool VulkanRenderer::Impl::FillCustom(const CustomDraws& custom) {
  if (custom.lines.size() > kCustomLineCapacity || custom.shapes.size() > kShapeVertexCapacity) {
    return false;
  }
  if (!custom.lines.empty()) {
    std::memcpy(custom_line_buffer.mapped, custom.lines.data(),
                custom.lines.size() * sizeof(DrawVertex));
  }
  if (!custom.shapes.empty()) {
    std::memcpy(shape_buffer.mapped, custom.shapes.data(),
                custom.shapes.size() * sizeof(ShapeVertex));
  }
  return true;
}

void VulkanRenderer::Impl::DrawCustom(const CustomDraws& custom) {
  const VkDeviceSize zero = 0;
  for (const DrawBatch& batch : custom.batches) {
    const bool shapes = batch.kind == DrawKind::kTriangles;
    const std::size_t end = std::size_t{batch.first} + batch.count;
    if (batch.count == 0 || end > (shapes ? custom.shapes.size() : custom.lines.size())) continue;
    VkPipeline pipeline = VK_NULL_HANDLE;
    switch (batch.kind) {
      case DrawKind::kLines:
        if (batch.count < 2) continue;
        pipeline = batch.additive ? waves_additive : waves_alpha;
        break;
      case DrawKind::kDots:
        pipeline = batch.additive ? dots_additive : dots_alpha;
        break;
      case DrawKind::kTriangles:
        pipeline = batch.additive ? shapes_additive : shapes_alpha;
        break;
    }
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    const VkBuffer buffer = shapes ? shape_buffer.buffer : custom_line_buffer.buffer;
    vkCmdBindVertexBuffers(commands, 0, 1, &buffer, &zero);
    if (batch.kind == DrawKind::kLines) {
      vkCmdSetLineWidth(commands, batch.thick && wide_lines ? 2.0f : 1.0f);
    } else if (batch.kind == DrawKind::kDots) {
      const float size = batch.thick ? 2.0f : 1.0f;
      vkCmdPushConstants(commands, pipeline_layout,
                         VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT,
                         kPointSizeOffset, sizeof(float), &size);
    }
    vkCmdDraw(commands, batch.count, 1, batch.first, 0);
  }
}

void VulkanRenderer::Impl::Record(uint32_t image, uint32_t next, std::size_t mesh_count,
                                  std::size_t wave_count, std::size_t overlay_count,
                                  const FrameConstants& constants, bool additive,
                                  const CustomDraws* custom) {
  vkResetCommandBuffer(commands, 0);
  VkCommandBufferBeginInfo begin{};
  begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(commands, &begin);
  const VkDeviceSize zero = 0;
  const VkShaderStageFlags stages = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;

  if (!feedback_initialised) {
    // Cleared, not left undefined: garbage (NaN) in the first frame would live on in the loop.
    for (VkImage feedback : feedback_images) {
      Barrier(feedback, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
    }
    for (VkImageView view : feedback_views) {
      BeginRendering(commands, view, feedback_extent, true);
      vkCmdEndRendering(commands);
    }
    for (VkImage feedback : feedback_images) {
      Barrier(feedback, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
              VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
    }
    feedback_initialised = true;
  }

  // Feedback pass: the previous frame through the warp mesh, then the waves on top.
  Barrier(feedback_images[next], VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
          VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  BeginRendering(commands, feedback_views[next], feedback_extent, true);
  vkCmdPushConstants(commands, pipeline_layout, stages, 0, sizeof(FrameConstants), &constants);
  vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, warp);
  vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline_layout, 0, 1,
                          &sets[previous], 0, nullptr);
  if (mesh_count > 0) {
    vkCmdBindVertexBuffers(commands, 0, 1, &mesh_buffer.buffer, &zero);
    vkCmdDraw(commands, static_cast<uint32_t>(mesh_count), 1, 0, 0);
  }
  if (custom != nullptr) DrawCustom(*custom);
  if (wave_count > 1) {
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS,
                      additive ? waves_additive : waves_alpha);
    vkCmdSetLineWidth(commands, 1.0f);
    vkCmdBindVertexBuffers(commands, 0, 1, &wave_buffer.buffer, &zero);
    vkCmdDraw(commands, static_cast<uint32_t>(wave_count), 1, 0, 0);
  }
  vkCmdEndRendering(commands);
  Barrier(feedback_images[next], VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);

  // Display pass: the new frame with its effects, then the overlay. With a smaller feedback
  // chain the effects run at its size and the finished picture is stretched to the window.
  if (scaled()) {
    Barrier(scaled_image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
    BeginRendering(commands, scaled_view, feedback_extent, false);
    vkCmdPushConstants(commands, pipeline_layout, stages, 0, sizeof(FrameConstants), &constants);
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, composite_scaled);
    vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline_layout, 0, 1,
                            &sets[next], 0, nullptr);
    vkCmdDraw(commands, 3, 1, 0, 0);
    vkCmdEndRendering(commands);
    Barrier(scaled_image, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
            VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
  }
  const VkImage target = swapchain_images[image];
  Barrier(target, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  BeginRendering(commands, swapchain_views[image], extent, false);
  vkCmdPushConstants(commands, pipeline_layout, stages, 0, sizeof(FrameConstants), &constants);
  vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, scaled() ? upscale : composite);
  vkCmdBindDescriptorSets(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline_layout, 0, 1,
                          &sets[scaled() ? kScaledSet : next], 0, nullptr);
  vkCmdDraw(commands, 3, 1, 0, 0);
  if (overlay_count > 1) {
    vkCmdBindPipeline(commands, VK_PIPELINE_BIND_POINT_GRAPHICS, overlay);
    vkCmdSetLineWidth(commands, 1.0f);
    vkCmdBindVertexBuffers(commands, 0, 1, &overlay_buffer.buffer, &zero);
    vkCmdDraw(commands, static_cast<uint32_t>(overlay_count), 1, 0, 0);
  }
  vkCmdEndRendering(commands);

  const bool copy = capture && swapchain_readable && capture_buffer.buffer != VK_NULL_HANDLE;
  if (copy) {
    Barrier(target, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
            VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
    VkBufferImageCopy region{};
    region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    region.imageExtent = {extent.width, extent.height, 1};
    vkCmdCopyImageToBuffer(commands, target, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                           capture_buffer.buffer, 1, &region);
    VkBufferMemoryBarrier2 to_host{};
    to_host.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER_2;
    to_host.srcStageMask = VK_PIPELINE_STAGE_2_COPY_BIT;
    to_host.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
    to_host.dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT;
    to_host.dstAccessMask = VK_ACCESS_2_HOST_READ_BIT;
    to_host.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    to_host.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    to_host.buffer = capture_buffer.buffer;
    to_host.size = VK_WHOLE_SIZE;
    VkDependencyInfo dependency{};
    dependency.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO;
    dependency.bufferMemoryBarrierCount = 1;
    dependency.pBufferMemoryBarriers = &to_host;
    vkCmdPipelineBarrier2(commands, &dependency);
    Barrier(target, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
    captured_extent = extent;
    captured_format = swapchain_format;
    captured = true;
  } else {
    Barrier(target, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
  }
  vkEndCommandBuffer(commands);
}

bool VulkanRenderer::Impl::Frame(const std::vector<MeshVertex>& mesh, std::size_t columns,
                                 std::size_t rows, const std::vector<DrawVertex>& waves,
                                 const std::vector<DrawVertex>& overlay_vertices,
                                 const FrameConstants& constants, bool additive,
                                 const CustomDraws* custom) {
  if (fatal != VK_SUCCESS) return false;
  if (swapchain == VK_NULL_HANDLE) {
    // Minimised, or a rebuild that has not worked yet: retry once a real size is there.
    int width = 0;
    int height = 0;
    DrawableSize(width, height);
    if (width <= 0 || height <= 0) return true;
    return Resize();
  }
  if (!Check(vkWaitForFences(device, 1, &fence, VK_TRUE, UINT64_MAX))) return false;
  uint32_t image = 0;
  const VkResult acquired =
      vkAcquireNextImageKHR(device, swapchain, UINT64_MAX, image_available, VK_NULL_HANDLE, &image);
  if (acquired == VK_ERROR_OUT_OF_DATE_KHR) return Resize();
  if (acquired != VK_SUCCESS && acquired != VK_SUBOPTIMAL_KHR) {
    Check(acquired);
    return false;  // no image, nothing signalled: skip the frame
  }

  const std::size_t mesh_count = FillMesh(mesh, columns, rows);
  const std::size_t wave_count = std::min(waves.size(), kLineVertexCapacity);
  const std::size_t overlay_count = std::min(overlay_vertices.size(), kLineVertexCapacity);
  if (wave_count > 0) std::memcpy(wave_buffer.mapped, waves.data(), wave_count * sizeof(DrawVertex));
  if (overlay_count > 0) {
    std::memcpy(overlay_buffer.mapped, overlay_vertices.data(),
                overlay_count * sizeof(DrawVertex));
  }
  if (capture && swapchain_readable) {
    const VkDeviceSize bytes = VkDeviceSize{extent.width} * extent.height * 4;
    if (capture_buffer.size < bytes) {  // test hook only: the one allocation in a frame
      DestroyBuffer(capture_buffer);
      if (!CreateBuffer(bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT, capture_buffer)) {
        DestroyBuffer(capture_buffer);
      }
    }
  }
  if (custom != nullptr && !FillCustom(*custom)) custom = nullptr;
  const uint32_t next = 1 - previous;
  Record(image, next, mesh_count, wave_count, overlay_count, constants, additive, custom);

  const VkSemaphoreSubmitInfo wait{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO, nullptr,
                                   image_available, 0,
                                   VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT, 0};
  const VkSemaphoreSubmitInfo signal{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO, nullptr,
                                     render_finished[image], 0,
                                     VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT, 0};
  const VkCommandBufferSubmitInfo command_info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO,
                                               nullptr, commands, 0};
  VkSubmitInfo2 submit{};
  submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO_2;
  submit.waitSemaphoreInfoCount = 1;
  submit.pWaitSemaphoreInfos = &wait;
  submit.commandBufferInfoCount = 1;
  submit.pCommandBufferInfos = &command_info;
  submit.signalSemaphoreInfoCount = 1;
  submit.pSignalSemaphoreInfos = &signal;
  // Reset only now: a frame that ends before this point leaves the fence signalled.
  vkResetFences(device, 1, &fence);
  const VkResult submitted = vkQueueSubmit2(queue, 1, &submit, fence);
  if (submitted != VK_SUCCESS) {
    // The fence would never signal again; no later frame could start.
    fatal = submitted == VK_ERROR_DEVICE_LOST ? VK_ERROR_DEVICE_LOST : VK_ERROR_UNKNOWN;
    return false;
  }
  previous = next;

  VkPresentInfoKHR present{};
  present.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR;
  present.waitSemaphoreCount = 1;
  present.pWaitSemaphores = &render_finished[image];
  present.swapchainCount = 1;
  present.pSwapchains = &swapchain;
  present.pImageIndices = &image;
  const VkResult presented = vkQueuePresentKHR(queue, &present);
  if (presented == VK_ERROR_OUT_OF_DATE_KHR || presented == VK_SUBOPTIMAL_KHR) return Resize();
  return Check(presented);
}

// Everything old is destroyed before anything new is made, and a failure leaves null handles
// only, so the next frame retries instead of drawing with a destroyed one.
bool VulkanRenderer::Impl::Resize() {
  if (fatal != VK_SUCCESS) return false;
  if (!Check(vkDeviceWaitIdle(device))) return false;
  DestroySwapchain();
  DestroyFeedback();
  std::string ignored;
  if (!CreateSwapchain(ignored)) return false;
  if (swapchain == VK_NULL_HANDLE) return true;  // zero size: nothing to draw into
  if (!CreateFeedbackTargets(ignored)) {
    DestroySwapchain();
    return false;
  }
  if (warp == VK_NULL_HANDLE || pipeline_swapchain_format != swapchain_format) {
    DestroyPipelines();
    if (!CreatePipelines(ignored)) {
      DestroyFeedback();
      DestroySwapchain();
      return false;
    }
  }
  PointDescriptors();
  return true;
}

void VulkanRenderer::Impl::DestroyBuffer(MappedBuffer& buffer) {
  if (buffer.mapped != nullptr) vkUnmapMemory(device, buffer.memory);
  if (buffer.buffer != VK_NULL_HANDLE) vkDestroyBuffer(device, buffer.buffer, nullptr);
  if (buffer.memory != VK_NULL_HANDLE) vkFreeMemory(device, buffer.memory, nullptr);
  buffer = MappedBuffer{};
}

void VulkanRenderer::Impl::DestroyPipelines() {
  for (VkPipeline* pipeline : {&warp, &waves_alpha, &waves_additive, &composite, &overlay,
                               &dots_alpha, &dots_additive, &shapes_alpha, &shapes_additive,
                               &composite_scaled, &upscale}) {
    if (*pipeline != VK_NULL_HANDLE) vkDestroyPipeline(device, *pipeline, nullptr);
    *pipeline = VK_NULL_HANDLE;
  }
}

void VulkanRenderer::Impl::DestroySwapchain() {
  for (VkImageView view : swapchain_views) vkDestroyImageView(device, view, nullptr);
  for (VkSemaphore semaphore : render_finished) vkDestroySemaphore(device, semaphore, nullptr);
  swapchain_views.clear();
  render_finished.clear();
  swapchain_images.clear();
  if (swapchain != VK_NULL_HANDLE) vkDestroySwapchainKHR(device, swapchain, nullptr);
  swapchain = VK_NULL_HANDLE;
}

void VulkanRenderer::Impl::DestroyFeedback() {
  for (std::size_t i = 0; i < 2; ++i) {
    if (feedback_views[i] != VK_NULL_HANDLE) vkDestroyImageView(device, feedback_views[i], nullptr);
    if (feedback_images[i] != VK_NULL_HANDLE) vkDestroyImage(device, feedback_images[i], nullptr);
    if (feedback_memory[i] != VK_NULL_HANDLE) vkFreeMemory(device, feedback_memory[i], nullptr);
    feedback_views[i] = VK_NULL_HANDLE;
    feedback_images[i] = VK_NULL_HANDLE;
    feedback_memory[i] = VK_NULL_HANDLE;
  }
  if (scaled_view != VK_NULL_HANDLE) vkDestroyImageView(device, scaled_view, nullptr);
  if (scaled_image != VK_NULL_HANDLE) vkDestroyImage(device, scaled_image, nullptr);
  if (scaled_memory != VK_NULL_HANDLE) vkFreeMemory(device, scaled_memory, nullptr);
  scaled_view = VK_NULL_HANDLE;
  scaled_image = VK_NULL_HANDLE;
  scaled_memory = VK_NULL_HANDLE;
  feedback_initialised = false;
}

// Reverse order of creation; safe on a partly created renderer.
void VulkanRenderer::Impl::DestroyAll() {
  if (device != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device);
    DestroySwapchain();
    DestroyFeedback();
    DestroyPipelines();
    if (pipeline_layout != VK_NULL_HANDLE) vkDestroyPipelineLayout(device, pipeline_layout, nullptr);
    if (descriptor_pool != VK_NULL_HANDLE) vkDestroyDescriptorPool(device, descriptor_pool, nullptr);
    if (set_layout != VK_NULL_HANDLE) vkDestroyDescriptorSetLayout(device, set_layout, nullptr);
    if (sampler != VK_NULL_HANDLE) vkDestroySampler(device, sampler, nullptr);
    DestroyBuffer(capture_buffer);
    DestroyBuffer(shape_buffer);
    DestroyBuffer(custom_line_buffer);
    DestroyBuffer(overlay_buffer);
    DestroyBuffer(wave_buffer);
    DestroyBuffer(mesh_buffer);
    if (image_available != VK_NULL_HANDLE) vkDestroySemaphore(device, image_available, nullptr);
    if (fence != VK_NULL_HANDLE) vkDestroyFence(device, fence, nullptr);
    if (command_pool != VK_NULL_HANDLE) vkDestroyCommandPool(device, command_pool, nullptr);
    vkDestroyDevice(device, nullptr);
    device = VK_NULL_HANDLE;
  }
  if (instance != VK_NULL_HANDLE) {
    if (surface != VK_NULL_HANDLE) vkDestroySurfaceKHR(instance, surface, nullptr);
    if (messenger != VK_NULL_HANDLE) {
      auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
          vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
      if (destroy != nullptr) destroy(instance, messenger, nullptr);
    }
    vkDestroyInstance(instance, nullptr);
    instance = VK_NULL_HANDLE;
  }
}

VulkanRenderer::VulkanRenderer() = default;

VulkanRenderer::~VulkanRenderer() { Shutdown(); }

bool VulkanRenderer::Initialise(VisWindow& window, std::string& error) {
  Shutdown();
  lost_reason_.clear();
  impl_ = std::make_unique<Impl>();
  impl_->window = &window;
  impl_->requested_scale = pending_scale_;
  const bool ok = impl_->CreateInstance(error) && impl_->PickDevice(error) &&
                  impl_->CreateDevice(error) && impl_->CreateSwapchain(error) &&
                  impl_->CreateFeedbackTargets(error) && impl_->CreateDescriptors(error) &&
                  impl_->CreatePipelines(error) && impl_->CreateCommands(error) &&
                  impl_->CreateBuffers(error);
  if (!ok) Shutdown();
  return ok;
}

bool VulkanRenderer::RenderFrame(const std::vector<MeshVertex>& mesh, std::size_t columns,
                                 std::size_t rows, const std::vector<DrawVertex>& waves,
                                 const std::vector<DrawVertex>& overlay,
                                 const FrameConstants& constants, bool additive,
                                 const CustomDraws* custom) {
  if (!impl_) return false;
  const bool drawn =
      impl_->Frame(mesh, columns, rows, waves, overlay, constants, additive, custom);
  if (impl_->fatal != VK_SUCCESS && lost_reason_.empty()) {
    lost_reason_ = impl_->fatal == VK_ERROR_DEVICE_LOST ? "the Vulkan device was lost"
                   : impl_->fatal == VK_ERROR_SURFACE_LOST_KHR
                       ? "the window's Vulkan surface was lost"
                       : "the GPU did not accept a frame";
  }
  return drawn;
}

bool VulkanRenderer::HandleResize() {
  if (!impl_) return false;
  const bool ok = impl_->Resize();
  if (impl_->fatal != VK_SUCCESS && lost_reason_.empty()) {
    lost_reason_ = impl_->fatal == VK_ERROR_DEVICE_LOST ? "the Vulkan device was lost"
                                                         : "the window's Vulkan surface was lost";
  }
  return ok;
}

void VulkanRenderer::Shutdown() {
  if (!impl_) return;
  impl_->DestroyAll();
  impl_.reset();
}

bool VulkanRenderer::lost() const { return !lost_reason_.empty(); }

const std::string& VulkanRenderer::lost_reason() const { return lost_reason_; }

const std::string& VulkanRenderer::device_name() const {
  static const std::string kNone;
  return impl_ ? impl_->device_name : kNone;
}

void VulkanRenderer::SetRenderScale(float scale) {
  pending_scale_ = std::isnan(scale) ? 0.0f : scale;  // NaN: automatic
  if (impl_) impl_->requested_scale = pending_scale_;
}

float VulkanRenderer::render_scale() const { return impl_ ? impl_->scale : 1.0f; }

uint32_t VulkanRenderer::validation_reports() const {
  return impl_ ? impl_->validation_reports.load() : 0;
}

void VulkanRenderer::SetCapture(bool on) {
  if (impl_) impl_->capture = on;
}

void VulkanRenderer::OverrideDrawableSize(int width, int height) {
  if (!impl_) return;
  impl_->override_width = width;
  impl_->override_height = height;
}

bool VulkanRenderer::CapturedFrame(std::vector<uint8_t>& rgba, uint32_t& width,
                                   uint32_t& height) {
  if (!impl_ || !impl_->captured || impl_->capture_buffer.mapped == nullptr) return false;
  if (!impl_->Check(vkWaitForFences(impl_->device, 1, &impl_->fence, VK_TRUE, UINT64_MAX))) {
    return false;
  }
  width = impl_->captured_extent.width;
  height = impl_->captured_extent.height;
  const auto* pixels = static_cast<const uint8_t*>(impl_->capture_buffer.mapped);
  rgba.assign(pixels, pixels + std::size_t{width} * height * 4);
  const bool bgra = impl_->captured_format == VK_FORMAT_B8G8R8A8_UNORM ||
                    impl_->captured_format == VK_FORMAT_B8G8R8A8_SRGB;
  if (bgra) {
    for (std::size_t i = 0; i < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
  }
  return true;
}

}  // namespace halvex::vis
