#include "vis/vk_result.h"

#include <array>
#include <utility>

namespace halvex::vis {

namespace {

#define HALVEX_VK_RESULT(name) std::pair<VkResult, const char*>{name, #name}
// The results a graphics program can meet from creation, acquire, submit and present.
constexpr std::array kNames = {
    HALVEX_VK_RESULT(VK_SUCCESS),
    HALVEX_VK_RESULT(VK_NOT_READY),
    HALVEX_VK_RESULT(VK_TIMEOUT),
    HALVEX_VK_RESULT(VK_INCOMPLETE),
    HALVEX_VK_RESULT(VK_SUBOPTIMAL_KHR),
    HALVEX_VK_RESULT(VK_ERROR_OUT_OF_HOST_MEMORY),
    HALVEX_VK_RESULT(VK_ERROR_OUT_OF_DEVICE_MEMORY),
    HALVEX_VK_RESULT(VK_ERROR_INITIALIZATION_FAILED),
    HALVEX_VK_RESULT(VK_ERROR_DEVICE_LOST),
    HALVEX_VK_RESULT(VK_ERROR_MEMORY_MAP_FAILED),
    HALVEX_VK_RESULT(VK_ERROR_LAYER_NOT_PRESENT),
    HALVEX_VK_RESULT(VK_ERROR_EXTENSION_NOT_PRESENT),
    HALVEX_VK_RESULT(VK_ERROR_FEATURE_NOT_PRESENT),
    HALVEX_VK_RESULT(VK_ERROR_INCOMPATIBLE_DRIVER),
    HALVEX_VK_RESULT(VK_ERROR_TOO_MANY_OBJECTS),
    HALVEX_VK_RESULT(VK_ERROR_FORMAT_NOT_SUPPORTED),
    HALVEX_VK_RESULT(VK_ERROR_FRAGMENTED_POOL),
    HALVEX_VK_RESULT(VK_ERROR_OUT_OF_POOL_MEMORY),
    HALVEX_VK_RESULT(VK_ERROR_FRAGMENTATION),
    HALVEX_VK_RESULT(VK_ERROR_SURFACE_LOST_KHR),
    HALVEX_VK_RESULT(VK_ERROR_NATIVE_WINDOW_IN_USE_KHR),
    HALVEX_VK_RESULT(VK_ERROR_OUT_OF_DATE_KHR),
    HALVEX_VK_RESULT(VK_ERROR_INCOMPATIBLE_DISPLAY_KHR),
    HALVEX_VK_RESULT(VK_ERROR_VALIDATION_FAILED_EXT),
    HALVEX_VK_RESULT(VK_ERROR_UNKNOWN),
};
#undef HALVEX_VK_RESULT

}  // namespace

std::string VkResultName(VkResult result) {
  for (const auto& [value, name] : kNames) {
    if (value == result) return name;
  }
  return "VkResult " + std::to_string(static_cast<int>(result));
}

std::string StepFailed(const char* step, VkResult result) {
  return std::string("cannot ") + step + ": " + VkResultName(result);
}

}  // namespace halvex::vis
