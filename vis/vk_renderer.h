// Draws the visualizer's frames with Vulkan 1.3 (dynamic rendering, synchronization2): a
// feedback loop over two off-screen images warped by the preset's mesh, waves drawn into it,
// then a composite pass to the window with the preset's echo and colour effects, and the
// title overlay on top. A composition of the pieces in vk_*.h: context (instance, device),
// swapchain, feedback targets, frame buffers, shader bindings, pipelines and frame passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vis/vk_device_choice.h"

namespace halvex::vis {

struct MeshVertex;      // mesh.h
struct DrawVertex;      // draw_types.h
struct FrameConstants;  // draw_types.h
struct CustomDraws;     // draw_types.h
class VisWindow;

class VulkanRenderer {
 public:
  // Fixed capacities of the persistently mapped vertex buffers.
  static constexpr std::size_t kMaxMeshSide = 96;
  static constexpr std::size_t kMeshVertexCapacity = kMaxMeshSide * kMaxMeshSide * 6;
  static constexpr std::size_t kLineVertexCapacity = 65536;
  // Custom waves and shape outlines, and filled shapes: enough for two presets at once (a
  // blend) at the most each may ask for.
  static constexpr std::size_t kCustomLineCapacity = 8192;
  static constexpr std::size_t kShapeVertexCapacity = 4096;

  // Frames prepared ahead of the device: the host records and submits one while the device
  // still draws the one before (and the window system takes the one before that), each with
  // its own command buffer, fence, acquire semaphore and vertex buffers. The feedback images
  // stay single: the queue's order and the recorded barriers hand each picture to the next.
  static constexpr uint32_t kFramesInFlight = 2;

  VulkanRenderer();
  ~VulkanRenderer();  // Shutdown(): every exit path destroys the swapchain and surface first
  VulkanRenderer(const VulkanRenderer&) = delete;
  VulkanRenderer& operator=(const VulkanRenderer&) = delete;

  // All or nothing; on failure `error` holds one line and nothing is left created. The window
  // must outlive the renderer (or Shutdown must come first).
  bool Initialise(VisWindow& window, std::string& error);

  // One frame. `mesh` is the columns × rows grid (row after row); `waves` is drawn into the
  // feedback image (additively when `additive`), `overlay` over the composite only; both are
  // line strips cut to kLineVertexCapacity. A zero-size drawable skips the frame (true).
  // `custom` (optional) is drawn into the feedback image between the warp and the waves, batch
  // by batch; a batch beyond the custom buffers' capacity is left out.
  // False when the frame was not drawn: a failed acquire, a swapchain rebuild that did not
  // work yet (retried next frame), or a lost device or surface (see lost()).
  bool RenderFrame(const std::vector<MeshVertex>& mesh, std::size_t columns, std::size_t rows,
                   const std::vector<DrawVertex>& waves, const std::vector<DrawVertex>& overlay,
                   const FrameConstants& constants, bool additive,
                   const CustomDraws* custom = nullptr);

  // The feedback chain's size as a share of the window's, applied from the next Initialise or
  // HandleResize: values in (0, 1] are used as given (at least kMinRenderScale); 0 picks
  // kCpuRenderScale on a software (CPU) device and 1 on a GPU. The composite scales the
  // picture up to the window with linear filtering; below 1 the warp interpolates the mesh's
  // texture coordinates per pixel in one pass instead of drawing its triangles.
  static constexpr float kMinRenderScale = 0.25f;
  static constexpr float kCpuRenderScale = 0.375f;
  void SetRenderScale(float scale);
  // The share in force (1 before Initialise).
  float render_scale() const;

  // Rebuilds swapchain and feedback images for the current drawable size; the trails restart.
  // On failure nothing destroyed stays in use and the next frame tries again.
  bool HandleResize();
  // Why the last rebuild (asked for, or started by a frame) failed, also printed once on
  // standard error; empty once one has worked.
  const std::string& rebuild_error() const;

  // Waits for the device and destroys everything in reverse order; safe to call twice.
  void Shutdown();

  // Set once the device or the window's surface is lost: the program should print
  // lost_reason() and end with status 1 so that its service manager restarts it.
  bool lost() const;
  const std::string& lost_reason() const;

  // The name of the device frames are drawn on (empty before Initialise).
  const std::string& device_name() const;
  // True when frames reach the window through X11 shared memory instead of a swapchain: on a
  // software device with an X11 window, unless HALVEX_VIS_SHM=0. The window then shows each
  // frame once the next one has been submitted.
  bool shared_memory_present() const;

  // Test and diagnostics hook: while on, each drawn frame's composite (overlay included) is
  // also copied to host memory. Needs a swapchain that allows transfer reads.
  void SetCapture(bool on);
  // The last captured frame as tightly packed RGBA8, top row first. False when none exists.
  bool CapturedFrame(std::vector<uint8_t>& rgba, uint32_t& width, uint32_t& height);
  // Test hook: use width × height instead of the window's drawable size (as a minimised
  // window reports 0 × 0 on some systems); a negative width goes back to the window's size.
  // Takes effect at the next HandleResize.
  void OverrideDrawableSize(int width, int height);
  // Warnings and errors the validation layer reported (HALVEX_VIS_VALIDATE), each also
  // printed on standard error.
  uint32_t validation_reports() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string lost_reason_;
  float pending_scale_ = 0.0f;
};

}  // namespace halvex::vis
