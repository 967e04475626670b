// Names Vulkan results for the renderer's one-line errors.
#pragma once

#include <vulkan/vulkan.h>

#include <string>

namespace halvex::vis {

// The enumerator's name ("VK_ERROR_OUT_OF_HOST_MEMORY"), or "VkResult <number>" for one this
// table does not know.
std::string VkResultName(VkResult result);

// "cannot <step>: <result name>", the form of every renderer error caused by a Vulkan call.
std::string StepFailed(const char* step, VkResult result);

// True on success; otherwise `handle` is left null and `error` says which step failed.
template <typename Handle>
bool Made(VkResult result, Handle& handle, const char* step, std::string& error) {
  if (result == VK_SUCCESS) return true;
  handle = VK_NULL_HANDLE;
  error = StepFailed(step, result);
  return false;
}

}  // namespace halvex::vis
