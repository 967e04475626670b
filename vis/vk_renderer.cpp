#include "vis/vk_renderer.h"

#include <vulkan/vulkan.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/vk_buffers.h"
#include "vis/vk_context.h"
#include "vis/vk_descriptors.h"
#include "vis/vk_frame_slot.h"
#include "vis/vk_frame_passes.h"
#include "vis/vk_pipelines.h"
#include "vis/vk_soft_display.h"
#include "vis/vk_result.h"
#include "vis/vk_swapchain.h"
#include "vis/vk_targets.h"
#include "vis/window.h"

namespace halvex::vis {

struct VulkanRenderer::Impl {
  VisWindow* window = nullptr;
  VulkanContext context;
  // On a software device shown through shared memory only the window's size and format.
  Swapchain swapchain;
  SoftDisplay soft;
  int pending_slot = -1;  // a drawn frame not shown yet (shared memory only)
  FeedbackTargets targets;
  ShaderBindings bindings;
  Pipelines pipelines;
  std::array<FrameSlot, kFramesInFlight> slots;
  uint32_t current = 0;  // the slot the next frame is prepared in
  float requested_scale = 0.0f;  // 0: automatic
  // Lost device or surface: every later frame is refused.
  VkResult fatal = VK_SUCCESS;
  std::string rebuild_error;  // why the last rebuild failed; empty once one works

  // Test hooks.
  int override_width = -1;
  int override_height = -1;
  bool capture = false;
  VkExtent2D captured_extent = {0, 0};
  VkFormat captured_format = VK_FORMAT_UNDEFINED;
  bool captured = false;
  uint32_t captured_slot = 0;

  bool Create(std::string& error);
  // Something to draw into: false while minimised or after a rebuild that failed.
  bool DisplayReady() const { return soft.active() ? soft.ready() : !swapchain.images.empty(); }
  bool CreateSwapchain(std::string& error);
  bool CreateTargets(std::string& error);
  bool Frame(const std::vector<MeshVertex>& mesh, std::size_t columns, std::size_t rows,
             const std::vector<DrawVertex>& waves, const std::vector<DrawVertex>& overlay,
             const FrameConstants& constants, bool additive, const CustomDraws* custom);
  FrameDraws Upload(FrameBuffers& buffers, const std::vector<MeshVertex>& mesh,
                    std::size_t columns, std::size_t rows, const std::vector<DrawVertex>& waves,
                    const std::vector<DrawVertex>& overlay, const CustomDraws* custom);
  bool SubmitAndPresent(FrameSlot& slot, uint32_t image, uint32_t next);
  bool ShowPending(uint32_t submitted);
  void DestroyDisplay();
  bool Resize();
  bool Rebuild(std::string& error);
  void ReportRebuild(const std::string& error);
  bool Check(VkResult result);
  void DrawableSize(int& width, int& height) const;
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

namespace {

// Shared memory unless HALVEX_VIS_SHM=0 asks for the driver's present (comparisons, tests).
bool SharedMemoryAllowed() {
  const char* shm = std::getenv("HALVEX_VIS_SHM");
  return shm == nullptr || std::strcmp(shm, "0") != 0;
}

}  // namespace

bool VulkanRenderer::Impl::Create(std::string& error) {
  if (!context.Create(*window, error)) return false;
  if (context.cpu_device && SharedMemoryAllowed()) soft.Open(window->handle());
  if (!CreateSwapchain(error) || !CreateTargets(error) ||
      !bindings.Create(context.device, error)) {
    return false;
  }
  bindings.Point(context.device, targets);
  if (!pipelines.Create(context.device, bindings.layout, targets.format, swapchain.format,
                        error)) {
    return false;
  }
  for (FrameSlot& slot : slots) {
    if (!slot.Create(context, error)) return false;
  }
  return true;
}

bool VulkanRenderer::Impl::CreateSwapchain(std::string& error) {
  int width = 0;
  int height = 0;
  DrawableSize(width, height);
  const VkResult result = soft.active()
                             ? soft.Create(context, width, height, swapchain, error)
                             : swapchain.Create(context, width, height, error);
  Check(result);
  return result == VK_SUCCESS;
}

bool VulkanRenderer::Impl::CreateTargets(std::string& error) {
  const float scale = ChooseRenderScale(requested_scale, context.cpu_device,
                                        VulkanRenderer::kMinRenderScale,
                                        VulkanRenderer::kCpuRenderScale);
  if (!targets.Create(context, swapchain.extent, scale, error)) return false;
  if (soft.active() && targets.extent.width > 0 &&
      !Check(soft.CreatePictures(context, targets.extent, error))) {
    targets.Destroy(context.device);
    return false;
  }
  return true;
}

bool VulkanRenderer::Impl::Frame(const std::vector<MeshVertex>& mesh, std::size_t columns,
                                 std::size_t rows, const std::vector<DrawVertex>& waves,
                                 const std::vector<DrawVertex>& overlay,
                                 const FrameConstants& constants, bool additive,
                                 const CustomDraws* custom) {
  if (fatal != VK_SUCCESS) return false;
  if (!DisplayReady()) {
    // Minimised, or a rebuild that has not worked yet: retry once a real size is there.
    int width = 0;
    int height = 0;
    DrawableSize(width, height);
    if (width <= 0 || height <= 0) return true;
    return Resize();
  }
  // The device may still draw the frame before this one; only this slot's last use must be over.
  FrameSlot& slot = slots[current];
  if (!Check(vkWaitForFences(context.device, 1, &slot.fence, VK_TRUE, UINT64_MAX))) return false;
  uint32_t image = current;  // shared memory: each slot has its own image
  const VkResult acquired =
      soft.active() ? VK_SUCCESS
                    : vkAcquireNextImageKHR(context.device, swapchain.handle, UINT64_MAX,
                                            slot.image_available, VK_NULL_HANDLE, &image);
  if (acquired == VK_ERROR_OUT_OF_DATE_KHR) return Resize();
  if (acquired != VK_SUCCESS && acquired != VK_SUBOPTIMAL_KHR) {
    Check(acquired);
    return false;  // no image, nothing signalled: skip the frame
  }
  FrameDraws draws = Upload(slot.buffers, mesh, columns, rows, waves, overlay, custom);
  draws.constants = &constants;
  draws.additive = additive;
  DisplayTarget display;
  if (soft.active()) {
    const HostImage& picture = soft.pictures[current];
    display = {picture.image.image, picture.image.view, targets.extent, true};
    soft.KeepOverlay(current, overlay, draws.overlay_count);
  } else {
    display = {swapchain.images[image], swapchain.views[image], swapchain.extent, false};
  }
  // Shared memory: the host finishes the picture, and a capture is taken from it then.
  const bool copy = capture && !soft.active() && swapchain.readable &&
                    slot.buffers.capture.buffer != VK_NULL_HANDLE;
  const uint32_t next = 1 - targets.previous;
  FramePasses(slot.commands, pipelines, bindings, slot.buffers, context.wide_lines)
      .Record(targets, next, display, draws, copy);
  if (copy || (capture && soft.active())) {
    captured_extent = swapchain.extent;
    captured_format = swapchain.format;
    captured = true;
    captured_slot = current;
  }
  return SubmitAndPresent(slot, image, next);
}

// Copies the frame's vertices into the mapped buffers (and grows the capture buffer).
FrameDraws VulkanRenderer::Impl::Upload(FrameBuffers& buffers,
                                        const std::vector<MeshVertex>& mesh,
                                        std::size_t columns, std::size_t rows,
                                        const std::vector<DrawVertex>& waves,
                                        const std::vector<DrawVertex>& overlay,
                                        const CustomDraws* custom) {
  FrameDraws draws;
  if (targets.grid_warp() && buffers.FillWarpGrid(mesh, columns, rows)) {
    draws.grid_columns = static_cast<uint32_t>(columns);
    draws.grid_rows = static_cast<uint32_t>(rows);
  } else {
    draws.mesh_count = buffers.FillMesh(mesh, columns, rows);
  }
  draws.wave_count = FrameBuffers::FillLines(waves, buffers.waves);
  draws.overlay_count = FrameBuffers::FillLines(overlay, buffers.overlay);
  if (capture && swapchain.readable && !soft.active()) {
    buffers.EnsureCapture(context, VkDeviceSize{swapchain.extent.width} *
                                       swapchain.extent.height * 4);
  }
  draws.custom = custom != nullptr && buffers.FillCustom(*custom) ? custom : nullptr;
  return draws;
}

bool VulkanRenderer::Impl::SubmitAndPresent(FrameSlot& slot, uint32_t image, uint32_t next) {
  const VkSemaphoreSubmitInfo wait{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO, nullptr,
                                   slot.image_available, 0,
                                   VK_PIPELINE_STAGE_2_COLOR_ATTACHMENT_OUTPUT_BIT, 0};
  // Shown through shared memory: no swapchain image to wait for or hand on.
  const VkSemaphore render_finished =
      soft.active() ? VK_NULL_HANDLE : swapchain.render_finished[image];
  const VkSemaphoreSubmitInfo signal{VK_STRUCTURE_TYPE_SEMAPHORE_SUBMIT_INFO, nullptr,
                                     render_finished, 0, VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
                                     0};
  const VkCommandBufferSubmitInfo command_info{VK_STRUCTURE_TYPE_COMMAND_BUFFER_SUBMIT_INFO,
                                               nullptr, slot.commands, 0};
  VkSubmitInfo2 submit{};
  submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO_2;
  submit.waitSemaphoreInfoCount = soft.active() ? 0 : 1;
  submit.pWaitSemaphoreInfos = &wait;
  submit.commandBufferInfoCount = 1;
  submit.pCommandBufferInfos = &command_info;
  submit.signalSemaphoreInfoCount = soft.active() ? 0 : 1;
  submit.pSignalSemaphoreInfos = &signal;
  // Reset only now: a frame that ends before this point leaves the fence signalled.
  vkResetFences(context.device, 1, &slot.fence);
  const VkResult submitted = vkQueueSubmit2(context.queue, 1, &submit, slot.fence);
  if (submitted != VK_SUCCESS) {
    // The fence would never signal again; no later frame could start.
    fatal = submitted == VK_ERROR_DEVICE_LOST ? VK_ERROR_DEVICE_LOST : VK_ERROR_UNKNOWN;
    return false;
  }
  targets.previous = next;
  const uint32_t slot_index = current;
  current = (current + 1) % kFramesInFlight;
  if (soft.active()) return ShowPending(slot_index);

  VkPresentInfoKHR present{};
  present.sType = VK_STRUCTURE_TYPE_PRESENT_INFO_KHR;
  present.waitSemaphoreCount = 1;
  present.pWaitSemaphores = &swapchain.render_finished[image];
  present.swapchainCount = 1;
  present.pSwapchains = &swapchain.handle;
  present.pImageIndices = &image;
  const VkResult presented = vkQueuePresentKHR(context.queue, &present);
  if (presented == VK_ERROR_OUT_OF_DATE_KHR || presented == VK_SUBOPTIMAL_KHR) return Resize();
  return Check(presented);
}

// The frame before the one just submitted goes to the window: it is done or nearly, and the
// device goes on with the new one while the host copies and the server takes the picture.
bool VulkanRenderer::Impl::ShowPending(uint32_t submitted) {
  static_assert(ShmPresenter::kSegments == kFramesInFlight);
  const int shown = pending_slot;
  pending_slot = static_cast<int>(submitted);
  if (shown < 0) return true;
  FrameSlot& slot = slots[static_cast<std::size_t>(shown)];
  if (!Check(vkWaitForFences(context.device, 1, &slot.fence, VK_TRUE, UINT64_MAX))) return false;
  if (!soft.Show(static_cast<uint32_t>(shown))) {
    fatal = VK_ERROR_SURFACE_LOST_KHR;
    return false;
  }
  return true;
}

void VulkanRenderer::Impl::DestroyDisplay() {
  pending_slot = -1;  // drawn at the old size
  if (soft.active()) {
    captured = false;  // its picture goes with the display
    soft.Destroy(context.device, swapchain);
  } else {
    swapchain.Destroy(context.device);
  }
}

bool VulkanRenderer::Impl::Resize() {
  if (fatal != VK_SUCCESS) return false;
  std::string error;
  const bool ok = Rebuild(error);
  ReportRebuild(error);
  return ok;
}

// Everything old is destroyed before anything new is made, and a failure leaves null handles
// only, so the next frame retries instead of drawing with a destroyed one.
bool VulkanRenderer::Impl::Rebuild(std::string& error) {
  const VkResult idle = vkDeviceWaitIdle(context.device);
  if (!Check(idle)) {
    error = StepFailed("wait for the device", idle);
    return false;
  }
  DestroyDisplay();
  targets.Destroy(context.device);
  if (!CreateSwapchain(error)) return false;
  if (swapchain.extent.width == 0) return true;  // zero size: nothing to draw into
  if (!CreateTargets(error)) {
    DestroyDisplay();
    return false;
  }
  if (!pipelines.built() || pipelines.swapchain_format != swapchain.format) {
    pipelines.Destroy(context.device);
    if (!pipelines.Create(context.device, bindings.layout, targets.format, swapchain.format,
                          error)) {
      targets.Destroy(context.device);
      DestroyDisplay();
      return false;
    }
  }
  bindings.Point(context.device, targets);
  return true;
}

// A failed rebuild is retried every frame: say why once, not once a frame.
void VulkanRenderer::Impl::ReportRebuild(const std::string& error) {
  if (!error.empty() && error != rebuild_error) {
    std::fprintf(stderr, "halvex-vis: %s\n", error.c_str());
  }
  rebuild_error = error;
}

// Reverse order of creation; safe on a partly created renderer.
void VulkanRenderer::Impl::DestroyAll() {
  const VkDevice device = context.device;
  if (device != VK_NULL_HANDLE) {
    vkDeviceWaitIdle(device);
    DestroyDisplay();
    soft.Close(device, swapchain);
    targets.Destroy(device);
    pipelines.Destroy(device);
    bindings.Destroy(device);
    for (FrameSlot& slot : slots) slot.Destroy(device);
  }
  context.Destroy();
}

VulkanRenderer::VulkanRenderer() = default;

VulkanRenderer::~VulkanRenderer() { Shutdown(); }

bool VulkanRenderer::Initialise(VisWindow& window, std::string& error) {
  Shutdown();
  lost_reason_.clear();
  impl_ = std::make_unique<Impl>();
  impl_->window = &window;
  impl_->requested_scale = pending_scale_;
  const bool ok = impl_->Create(error);
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

const std::string& VulkanRenderer::rebuild_error() const {
  static const std::string kNone;
  return impl_ ? impl_->rebuild_error : kNone;
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
  return impl_ ? impl_->context.device_name : kNone;
}

void VulkanRenderer::SetRenderScale(float scale) {
  pending_scale_ = std::isnan(scale) ? 0.0f : scale;  // NaN: automatic
  if (impl_) impl_->requested_scale = pending_scale_;
}

float VulkanRenderer::render_scale() const { return impl_ ? impl_->targets.scale : 1.0f; }

bool VulkanRenderer::shared_memory_present() const { return impl_ && impl_->soft.active(); }

uint32_t VulkanRenderer::validation_reports() const {
  return impl_ ? impl_->context.validation_reports.load() : 0;
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
  if (!impl_ || !impl_->captured) return false;
  FrameSlot& slot = impl_->slots[impl_->captured_slot];
  const bool host = impl_->soft.active();
  if (!host && slot.buffers.capture.mapped == nullptr) return false;
  if (!impl_->Check(vkWaitForFences(impl_->context.device, 1, &slot.fence, VK_TRUE,
                                    UINT64_MAX))) {
    return false;
  }
  width = impl_->captured_extent.width;
  height = impl_->captured_extent.height;
  if (host) {
    // What the window shows, finished the way it is for the window.
    rgba.assign(std::size_t{width} * height * 4, 0);
    impl_->soft.Compose(impl_->captured_slot, rgba.data(), std::size_t{width} * 4);
  } else {
    const auto* pixels = static_cast<const uint8_t*>(slot.buffers.capture.mapped);
    rgba.assign(pixels, pixels + std::size_t{width} * height * 4);
  }
  const bool bgra = impl_->captured_format == VK_FORMAT_B8G8R8A8_UNORM ||
                    impl_->captured_format == VK_FORMAT_B8G8R8A8_SRGB;
  if (bgra) {
    for (std::size_t i = 0; i < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
  }
  return true;
}

}  // namespace halvex::vis
