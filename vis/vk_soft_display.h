// The window's picture on a software (CPU) device without the driver's window-system present:
// each frame slot's last pass finishes the picture at the feedback chain's size in a
// host-visible image of ours, and once the device is done the host stretches it into shared
// memory the X server reads from and draws the title card over it. The device's one queue is
// then never held while a picture travels to the server, and the rasteriser never spends its
// time on a window-sized pass, so the next frame rasterises meanwhile.
#pragma once

#include <vulkan/vulkan.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vis/draw_types.h"
#include "vis/picture_stretch.h"
#include "vis/vk_memory.h"
#include "vis/x11_shm_present.h"

struct SDL_Window;

namespace halvex::vis {

struct VulkanContext;
struct Swapchain;

struct SoftDisplay {
  static constexpr VkFormat kFormat = VK_FORMAT_B8G8R8A8_UNORM;  // the X server's BGRX

  ShmPresenter presenter;
  std::array<HostImage, ShmPresenter::kSegments> pictures;  // one per frame slot
  // Each slot's title card, drawn by the host after the stretch.
  std::array<std::vector<DrawVertex>, ShmPresenter::kSegments> overlays;
  PictureStretch stretch;
  VkExtent2D extent = {0, 0};  // the window's

  // True when the window can take frames this way (an X11 window on a server that shares
  // memory with us); otherwise the swapchain is used.
  bool Open(SDL_Window* window) { return presenter.Open(window); }
  bool active() const { return presenter.open(); }
  bool ready() const { return pictures[0].rows != nullptr; }

  // The shared segments for a drawable of width × height; `swapchain` only takes the size and
  // format (it holds no images). A zero size leaves nothing and succeeds. On failure the result
  // of the call that failed, `error` saying which.
  VkResult Create(const VulkanContext& context, int width, int height, Swapchain& swapchain,
                  std::string& error);
  // The pictures, at the feedback chain's size `size` (after Create).
  VkResult CreatePictures(const VulkanContext& context, VkExtent2D size, std::string& error);
  // The device must be idle.
  void Destroy(VkDevice device, Swapchain& swapchain);
  void Close(VkDevice device, Swapchain& swapchain);

  // Keeps the first `count` points of `overlay` for frame slot `slot` (no allocation once the
  // card's size has been seen).
  void KeepOverlay(uint32_t slot, const std::vector<DrawVertex>& overlay, std::size_t count);
  // What frame slot `slot` drew (the device must be done with it), stretched to the window
  // with its title card, into BGRX rows `pitch` bytes apart.
  void Compose(uint32_t slot, uint8_t* into, std::size_t pitch);
  // Shows what frame slot `slot` drew. False when the window is gone.
  bool Show(uint32_t slot);
};

}  // namespace halvex::vis
