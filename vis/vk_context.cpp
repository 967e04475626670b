#include "vis/vk_context.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vis/vk_device_choice.h"
#include "vis/vk_result.h"
#include "vis/window.h"

namespace halvex::vis {

namespace {

constexpr const char* kValidationLayer = "VK_LAYER_KHRONOS_validation";

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

// Adds the validation layer and, when it can report, the debug-utils extension; true when
// messages will reach OnValidationMessage.
bool AddValidation(std::vector<const char*>& layers, std::vector<const char*>& extensions) {
  if (std::getenv("HALVEX_VIS_VALIDATE") == nullptr) return false;
  if (!HasLayer(kValidationLayer)) {
    std::fprintf(stderr,
                 "halvex-vis: HALVEX_VIS_VALIDATE is set but %s is not installed; "
                 "running without validation\n",
                 kValidationLayer);
    return false;
  }
  layers.push_back(kValidationLayer);
  const bool debug_utils =
      HasInstanceExtension(kValidationLayer, VK_EXT_DEBUG_UTILS_EXTENSION_NAME) ||
      HasInstanceExtension(nullptr, VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  if (debug_utils) extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
  return debug_utils;
}

VkDebugUtilsMessengerCreateInfoEXT MessengerInfo(std::atomic<uint32_t>& reports) {
  VkDebugUtilsMessengerCreateInfoEXT info{};
  info.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
  info.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_WARNING_BIT_EXT |
                         VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
  info.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                     VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
  info.pfnUserCallback = OnValidationMessage;
  info.pUserData = &reports;
  return info;
}

// One physical device as the choice sees it, and the queue family that would draw and present.
DeviceCandidate Describe(VkPhysicalDevice physical, VkSurfaceKHR surface, uint32_t& family) {
  VkPhysicalDeviceProperties properties;
  vkGetPhysicalDeviceProperties(physical, &properties);
  DeviceCandidate entry;
  entry.name = properties.deviceName;
  entry.discrete = properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
  entry.integrated = properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU;
  entry.api_version = properties.apiVersion;
  uint32_t family_count = 0;
  vkGetPhysicalDeviceQueueFamilyProperties(physical, &family_count, nullptr);
  std::vector<VkQueueFamilyProperties> families(family_count);
  vkGetPhysicalDeviceQueueFamilyProperties(physical, &family_count, families.data());
  family = 0;
  for (uint32_t f = 0; f < family_count && !entry.can_present; ++f) {
    VkBool32 presents = VK_FALSE;
    if ((families[f].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0 &&
        vkGetPhysicalDeviceSurfaceSupportKHR(physical, f, surface, &presents) == VK_SUCCESS &&
        presents == VK_TRUE) {
      entry.can_present = true;
      family = f;
    }
  }
  return entry;
}

}  // namespace

// llvmpipe (lavapipe's rasteriser) starts a thread per core; for our small passes the
// hand-offs between them cost more than they gain, and one thread keeps the visualizer within
// one core, leaving the other to the audio.
void PreferOneSoftwareRasteriserThread() { setenv("LP_NUM_THREADS", "1", 0); }

bool VulkanContext::Create(VisWindow& window, std::string& error) {
  return CreateInstance(window, error) && PickDevice(error) && CreateDevice(error);
}

bool VulkanContext::CreateInstance(VisWindow& window, std::string& error) {
  std::vector<const char*> extensions = window.RequiredInstanceExtensions();
  std::vector<const char*> layers;
  const bool debug_utils = AddValidation(layers, extensions);
  VkDebugUtilsMessengerCreateInfoEXT messenger_info = MessengerInfo(validation_reports);

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
  const VkResult created = vkCreateInstance(&info, nullptr, &instance);
  if (created != VK_SUCCESS) {
    instance = VK_NULL_HANDLE;
    error = "vkCreateInstance failed: " + VkResultName(created);
    return false;
  }
  if (debug_utils) {
    auto create = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkCreateDebugUtilsMessengerEXT"));
    if (create == nullptr || create(instance, &messenger_info, nullptr, &messenger) != VK_SUCCESS) {
      messenger = VK_NULL_HANDLE;
    }
  }
  if (!window.CreateSurface(instance, surface)) {
    surface = VK_NULL_HANDLE;
    error = "could not create a Vulkan surface for the window";
    return false;
  }
  return true;
}

bool VulkanContext::PickDevice(std::string& error) {
  uint32_t count = 0;
  if (vkEnumeratePhysicalDevices(instance, &count, nullptr) != VK_SUCCESS) count = 0;
  std::vector<VkPhysicalDevice> physicals(count);
  if (count > 0 && vkEnumeratePhysicalDevices(instance, &count, physicals.data()) < 0) count = 0;
  physicals.resize(count);

  std::vector<DeviceCandidate> candidates;
  std::vector<uint32_t> families;
  for (VkPhysicalDevice candidate : physicals) {
    uint32_t family = 0;
    candidates.push_back(Describe(candidate, surface, family));
    families.push_back(family);
  }
  std::size_t chosen = 0;
  if (!ChooseDevice(candidates, std::getenv("HALVEX_VIS_GPU"), chosen, error)) return false;
  physical = physicals[chosen];
  queue_family = families[chosen];
  device_name = candidates[chosen].name;
  VkPhysicalDeviceProperties properties;
  vkGetPhysicalDeviceProperties(physical, &properties);
  cpu_device = properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
  std::fprintf(stderr, "halvex-vis: rendering on %s\n", device_name.c_str());
  return true;
}

bool VulkanContext::CreateDevice(std::string& error) {
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
  const VkResult created = vkCreateDevice(physical, &info, nullptr, &device);
  if (created != VK_SUCCESS) {
    device = VK_NULL_HANDLE;
    error = "vkCreateDevice failed (is the driver Vulkan 1.3?): " + VkResultName(created);
    return false;
  }
  vkGetDeviceQueue(device, queue_family, 0, &queue);
  return true;
}

uint32_t VulkanContext::MemoryType(uint32_t bits, VkMemoryPropertyFlags flags) const {
  VkPhysicalDeviceMemoryProperties memory;
  vkGetPhysicalDeviceMemoryProperties(physical, &memory);
  for (uint32_t i = 0; i < memory.memoryTypeCount; ++i) {
    if ((bits & (1u << i)) != 0 && (memory.memoryTypes[i].propertyFlags & flags) == flags) {
      return i;
    }
  }
  return 0;
}

void VulkanContext::Destroy() {
  if (device != VK_NULL_HANDLE) vkDestroyDevice(device, nullptr);
  device = VK_NULL_HANDLE;
  if (instance == VK_NULL_HANDLE) return;
  if (surface != VK_NULL_HANDLE) vkDestroySurfaceKHR(instance, surface, nullptr);
  if (messenger != VK_NULL_HANDLE) {
    auto destroy = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
        vkGetInstanceProcAddr(instance, "vkDestroyDebugUtilsMessengerEXT"));
    if (destroy != nullptr) destroy(instance, messenger, nullptr);
  }
  vkDestroyInstance(instance, nullptr);
  instance = VK_NULL_HANDLE;
  surface = VK_NULL_HANDLE;
  messenger = VK_NULL_HANDLE;
}

}  // namespace halvex::vis
