// The window's picture on a software (CPU) device without the driver's window-system present:
// each frame slot's display pass draws into a host-visible image of ours, and once the device
// is done the host copies it into shared memory the X server reads from. The device's one
// queue is then never held while a picture travels to the server, so the next frame
// rasterises meanwhile.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstdint>
#include <string>

#include "vis/vk_memory.h"
#include "vis/x11_shm_present.h"

struct SDL_Window;

namespace halvex::vis {

struct VulkanContext;
struct Swapchain;

struct SoftDisplay {
  static constexpr VkFormat kFormat = VK_FORMAT_B8G8R8A8_UNORM;  // the X server's BGRX

  ShmPresenter presenter;
  std::array<HostImage, ShmPresenter::kSegments> images;  // one per frame slot
  VkExtent2D extent = {0, 0};

  // True when the window can take frames this way (an X11 window on a server that shares
  // memory with us); otherwise the swapchain is used.
  bool Open(SDL_Window* window) { return presenter.Open(window); }
  bool active() const { return presenter.open(); }

  // The images and shared segments for a drawable of width × height, described in `swapchain`
  // as its images so that the frame passes draw into them (image i for frame slot i). A zero
  // size leaves both empty and succeeds. On failure the result of the call that failed, `error`
  // saying which.
  VkResult Create(const VulkanContext& context, int width, int height, Swapchain& swapchain,
                  std::string& error);
  // The device must be idle.
  void Destroy(VkDevice device, Swapchain& swapchain);
  void Close(VkDevice device, Swapchain& swapchain);

  // Shows what frame slot `slot` drew (the device must be done with it). False when the window
  // is gone.
  bool Show(uint32_t slot);
};

}  // namespace halvex::vis
