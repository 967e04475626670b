// Records one frame's command buffer: the feedback pass (the previous frame through the warp
// mesh or grid, custom draws and waves on top), the display pass (composite, sampling a smaller
// chain straight up to the window's size, then the overlay) or, for the host to finish, the
// composite at the chain's size, and the capture copy of the test hook.
#pragma once

#include <vulkan/vulkan.h>

#include <cstddef>
#include <cstdint>

namespace halvex::vis {

struct CustomDraws;
struct FeedbackTargets;
struct FrameBuffers;
struct FrameConstants;
struct Pipelines;
struct ShaderBindings;

// What one frame draws, already copied into the frame buffers.
struct FrameDraws {
  std::size_t mesh_count = 0;
  // Non-zero: the warp grid's buffer holds this many columns and rows, drawn instead of the
  // mesh.
  uint32_t grid_columns = 0;
  uint32_t grid_rows = 0;
  std::size_t wave_count = 0;
  std::size_t overlay_count = 0;
  const FrameConstants* constants = nullptr;
  bool additive = false;               // the main waves blend additively
  const CustomDraws* custom = nullptr;  // null: none this frame
};

// Where a frame ends.
struct DisplayTarget {
  VkImage image = VK_NULL_HANDLE;
  VkImageView view = VK_NULL_HANDLE;
  VkExtent2D extent = {0, 0};
  // True: a host-readable image at the feedback chain's size, left for the host (once the
  // frame's fence has signalled), which stretches it and draws the overlay itself. False: the
  // window's swapchain image, left for a present.
  bool host = false;
};

class FramePasses {
 public:
  FramePasses(VkCommandBuffer commands, const Pipelines& pipelines,
              const ShaderBindings& bindings, const FrameBuffers& buffers, bool wide_lines)
      : commands_(commands), pipelines_(pipelines), bindings_(bindings), buffers_(buffers),
        wide_lines_(wide_lines) {}

  // Draws into targets.feedback[next] and `display`; with `copy` a window's finished picture
  // also goes to the capture buffer. Clears the feedback images first when they are new.
  void Record(FeedbackTargets& targets, uint32_t next, const DisplayTarget& display,
              const FrameDraws& draws, bool copy);

 private:
  void ClearFeedback(const FeedbackTargets& targets);
  void FeedbackPass(const FeedbackTargets& targets, uint32_t next, const FrameDraws& draws);
  void UploadWarpGrid(const FeedbackTargets& targets, const FrameDraws& draws);
  void DrawWarp(const FeedbackTargets& targets, const FrameDraws& draws);
  // The composite at the chain's size into `image`, left in `final_layout` for `reader`.
  void CompositeAtChainSize(const FeedbackTargets& targets, uint32_t next,
                            const FrameDraws& draws, VkImage image, VkImageView view,
                            VkImageLayout final_layout, VkPipelineStageFlags2 reader,
                            VkAccessFlags2 reader_access);
  // With `stretched` the display pass stretches the scaled picture; otherwise it composites
  // the feedback image itself, whatever its size.
  static bool Stretched(const FeedbackTargets& targets, const FrameConstants& constants);
  void DisplayPass(uint32_t next, const DisplayTarget& display, const FrameDraws& draws,
                   bool stretched);
  // Leaves `target` in TRANSFER_SRC_OPTIMAL; Record moves it on to where it is shown.
  void CopyForCapture(VkImage target, VkExtent2D extent);
  void DrawCustom(const CustomDraws& custom);
  void DrawLines(VkPipeline pipeline, VkBuffer buffer, std::size_t count);
  void PushConstants(const FrameConstants& constants);
  void Barrier(VkImage image, VkImageLayout from, VkImageLayout to,
               VkPipelineStageFlags2 dst_stage = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT,
               VkAccessFlags2 dst_access = VK_ACCESS_2_MEMORY_READ_BIT |
                                           VK_ACCESS_2_MEMORY_WRITE_BIT);
  void BeginRendering(VkImageView view, VkExtent2D extent, bool clear);

  VkCommandBuffer commands_;
  const Pipelines& pipelines_;
  const ShaderBindings& bindings_;
  const FrameBuffers& buffers_;
  bool wide_lines_;
};

}  // namespace halvex::vis
