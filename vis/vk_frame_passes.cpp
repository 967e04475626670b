#include "vis/vk_frame_passes.h"

#include <array>

#include "vis/draw_types.h"
#include "vis/vk_buffers.h"
#include "vis/vk_descriptors.h"
#include "vis/vk_pipelines.h"
#include "vis/vk_targets.h"

namespace halvex::vis {

namespace {

constexpr VkClearColorValue kBlack = {{0.0f, 0.0f, 0.0f, 1.0f}};
constexpr VkShaderStageFlags kStages = VK_SHADER_STAGE_VERTEX_BIT | VK_SHADER_STAGE_FRAGMENT_BIT;
constexpr VkDeviceSize kZero = 0;

}  // namespace

void FramePasses::Record(FeedbackTargets& targets, uint32_t next, const DisplayTarget& display,
                         const FrameDraws& draws, bool copy) {
  vkResetCommandBuffer(commands_, 0);
  VkCommandBufferBeginInfo begin{};
  begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
  begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
  vkBeginCommandBuffer(commands_, &begin);
  if (!targets.initialised) {
    ClearFeedback(targets);
    targets.initialised = true;
  }
  FeedbackPass(targets, next, draws);
  if (display.host) {
    // A linear image the host reads once the fence has signalled.
    CompositeAtChainSize(targets, next, draws, display.image, display.view,
                         VK_IMAGE_LAYOUT_GENERAL, VK_PIPELINE_STAGE_2_HOST_BIT,
                         VK_ACCESS_2_HOST_READ_BIT);
    vkEndCommandBuffer(commands_);
    return;
  }
  const bool stretched = Stretched(targets, *draws.constants);
  if (stretched) {
    CompositeAtChainSize(targets, next, draws, targets.scaled_picture.image,
                         targets.scaled_picture.view, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
                         VK_PIPELINE_STAGE_2_FRAGMENT_SHADER_BIT,
                         VK_ACCESS_2_SHADER_SAMPLED_READ_BIT);
  }
  DisplayPass(next, display, draws, stretched);
  if (copy) CopyForCapture(display.image, display.extent);
  const VkImageLayout drawn =
      copy ? VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL : VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL;
  Barrier(display.image, drawn, VK_IMAGE_LAYOUT_PRESENT_SRC_KHR);
  vkEndCommandBuffer(commands_);
}

// Cleared, not left undefined: garbage (NaN) in the first frame would live on in the loop.
void FramePasses::ClearFeedback(const FeedbackTargets& targets) {
  for (const DeviceImage& feedback : targets.feedback) {
    Barrier(feedback.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  }
  for (const DeviceImage& feedback : targets.feedback) {
    BeginRendering(feedback.view, targets.extent, true);
    vkCmdEndRendering(commands_);
  }
  for (const DeviceImage& feedback : targets.feedback) {
    Barrier(feedback.image, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
            VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
  }
}

// The previous frame through the warp mesh, then the custom draws and the waves on top.
void FramePasses::FeedbackPass(const FeedbackTargets& targets, uint32_t next,
                               const FrameDraws& draws) {
  const DeviceImage& into = targets.feedback[next];
  if (draws.grid_columns > 0) UploadWarpGrid(targets, draws);
  Barrier(into.image, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL,
          VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  BeginRendering(into.view, targets.extent, true);
  PushConstants(*draws.constants);
  DrawWarp(targets, draws);
  if (draws.custom != nullptr) DrawCustom(*draws.custom);
  DrawLines(draws.additive ? pipelines_.waves_additive : pipelines_.waves_alpha,
            buffers_.waves.buffer, draws.wave_count);
  vkCmdEndRendering(commands_);
  Barrier(into.image, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL,
          VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
}

// The grid's texture coordinates from the staging buffer into the grid image's corner.
void FramePasses::UploadWarpGrid(const FeedbackTargets& targets, const FrameDraws& draws) {
  const VkImage grid = targets.warp_grid.image;
  Barrier(grid, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {draws.grid_columns, draws.grid_rows, 1};
  vkCmdCopyBufferToImage(commands_, buffers_.warp_grid.buffer, grid,
                         VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, 1, &region);
  Barrier(grid, VK_IMAGE_LAYOUT_TRANSFER_DST_OPTIMAL, VK_IMAGE_LAYOUT_SHADER_READ_ONLY_OPTIMAL);
}

// The previous frame through the grid (one triangle) or the mesh (two per cell). Leaves the
// previous frame bound as set 0 for the textured shapes.
void FramePasses::DrawWarp(const FeedbackTargets& targets, const FrameDraws& draws) {
  const bool grid = draws.grid_columns > 0;
  const std::array<VkDescriptorSet, 2> sets = {bindings_.sets[targets.previous],
                                               bindings_.sets[ShaderBindings::kWarpGridSet]};
  vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS,
                    grid ? pipelines_.warp_grid : pipelines_.warp);
  vkCmdBindDescriptorSets(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, bindings_.layout, 0,
                          grid ? 2 : 1, sets.data(), 0, nullptr);
  if (grid) {
    const std::array<float, 2> span = {static_cast<float>(draws.grid_columns - 1),
                                       static_cast<float>(draws.grid_rows - 1)};
    vkCmdPushConstants(commands_, bindings_.layout, kStages, ShaderBindings::kGridSpanOffset,
                       sizeof(span), span.data());
    vkCmdDraw(commands_, 3, 1, 0, 0);
  } else if (draws.mesh_count > 0) {
    vkCmdBindVertexBuffers(commands_, 0, 1, &buffers_.mesh.buffer, &kZero);
    vkCmdDraw(commands_, static_cast<uint32_t>(draws.mesh_count), 1, 0, 0);
  }
}

// A smaller chain normally goes to the window in one pass that samples it with linear
// filtering and does the composite per window pixel: a pass at the window's size is paid
// anyway, and a separate one at the chain's size would add a whole target's worth of work.
// The echo is the exception: a second filtered fetch per window pixel costs more than
// finishing the picture at the chain's size and stretching it with a bare fetch.
bool FramePasses::Stretched(const FeedbackTargets& targets, const FrameConstants& constants) {
  return targets.scaled() && (Pipelines::CompositeVariant(constants) & Pipelines::kEchoBit) != 0;
}

// The effects at the chain's size: the echo frames of a smaller chain, into the scaled picture
// a window pass stretches, or every frame the host stretches.
void FramePasses::CompositeAtChainSize(const FeedbackTargets& targets, uint32_t next,
                                       const FrameDraws& draws, VkImage image, VkImageView view,
                                       VkImageLayout final_layout, VkPipelineStageFlags2 reader,
                                       VkAccessFlags2 reader_access) {
  Barrier(image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  BeginRendering(view, targets.extent, false);
  PushConstants(*draws.constants);
  vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS,
                    pipelines_.composite_scaled[Pipelines::CompositeVariant(*draws.constants)]);
  vkCmdBindDescriptorSets(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, bindings_.layout, 0, 1,
                          &bindings_.sets[next], 0, nullptr);
  vkCmdDraw(commands_, 3, 1, 0, 0);
  vkCmdEndRendering(commands_);
  Barrier(image, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, final_layout, reader, reader_access);
}

// The new frame with its effects (or the scaled picture stretched), then the overlay.
void FramePasses::DisplayPass(uint32_t next, const DisplayTarget& display,
                              const FrameDraws& draws, bool stretched) {
  Barrier(display.image, VK_IMAGE_LAYOUT_UNDEFINED, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL);
  BeginRendering(display.view, display.extent, false);
  PushConstants(*draws.constants);
  vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS,
                    stretched
                        ? pipelines_.upscale
                        : pipelines_.composite[Pipelines::CompositeVariant(*draws.constants)]);
  vkCmdBindDescriptorSets(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, bindings_.layout, 0, 1,
                          &bindings_.sets[stretched ? ShaderBindings::kScaledSet : next], 0,
                          nullptr);
  vkCmdDraw(commands_, 3, 1, 0, 0);
  DrawLines(pipelines_.overlay, buffers_.overlay.buffer, draws.overlay_count);
  vkCmdEndRendering(commands_);
}

void FramePasses::CopyForCapture(VkImage target, VkExtent2D extent) {
  Barrier(target, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL);
  VkBufferImageCopy region{};
  region.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
  region.imageExtent = {extent.width, extent.height, 1};
  vkCmdCopyImageToBuffer(commands_, target, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL,
                         buffers_.capture.buffer, 1, &region);
  VkBufferMemoryBarrier2 to_host{};
  to_host.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER_2;
  to_host.srcStageMask = VK_PIPELINE_STAGE_2_COPY_BIT;
  to_host.srcAccessMask = VK_ACCESS_2_TRANSFER_WRITE_BIT;
  to_host.dstStageMask = VK_PIPELINE_STAGE_2_HOST_BIT;
  to_host.dstAccessMask = VK_ACCESS_2_HOST_READ_BIT;
  to_host.srcQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  to_host.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
  to_host.buffer = buffers_.capture.buffer;
  to_host.size = VK_WHOLE_SIZE;
  VkDependencyInfo dependency{};
  dependency.sType = VK_STRUCTURE_TYPE_DEPENDENCY_INFO;
  dependency.bufferMemoryBarrierCount = 1;
  dependency.pBufferMemoryBarriers = &to_host;
  vkCmdPipelineBarrier2(commands_, &dependency);
}

// Batch by batch; a batch reaching past the vertices it was given is left out.
void FramePasses::DrawCustom(const CustomDraws& custom) {
  for (const DrawBatch& batch : custom.batches) {
    const bool shapes = batch.kind == DrawKind::kTriangles;
    const std::size_t end = std::size_t{batch.first} + batch.count;
    if (batch.count == 0 || end > (shapes ? custom.shapes.size() : custom.lines.size())) continue;
    VkPipeline pipeline = VK_NULL_HANDLE;
    switch (batch.kind) {
      case DrawKind::kLines:
        if (batch.count < 2) continue;
        pipeline = batch.additive ? pipelines_.waves_additive : pipelines_.waves_alpha;
        break;
      case DrawKind::kDots:
        pipeline = batch.additive ? pipelines_.dots_additive : pipelines_.dots_alpha;
        break;
      case DrawKind::kTriangles:
        pipeline = batch.additive ? pipelines_.shapes_additive : pipelines_.shapes_alpha;
        break;
    }
    vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
    const VkBuffer buffer = shapes ? buffers_.shapes.buffer : buffers_.custom_lines.buffer;
    vkCmdBindVertexBuffers(commands_, 0, 1, &buffer, &kZero);
    if (batch.kind == DrawKind::kLines) {
      vkCmdSetLineWidth(commands_, batch.thick && wide_lines_ ? 2.0f : 1.0f);
    } else if (batch.kind == DrawKind::kDots) {
      const float size = batch.thick ? 2.0f : 1.0f;
      vkCmdPushConstants(commands_, bindings_.layout, kStages, Pipelines::kPointSizeOffset,
                         sizeof(float), &size);
    }
    vkCmdDraw(commands_, batch.count, 1, batch.first, 0);
  }
}

// A one-pixel line strip; fewer than two vertices draw nothing.
void FramePasses::DrawLines(VkPipeline pipeline, VkBuffer buffer, std::size_t count) {
  if (count < 2) return;
  vkCmdBindPipeline(commands_, VK_PIPELINE_BIND_POINT_GRAPHICS, pipeline);
  vkCmdSetLineWidth(commands_, 1.0f);
  vkCmdBindVertexBuffers(commands_, 0, 1, &buffer, &kZero);
  vkCmdDraw(commands_, static_cast<uint32_t>(count), 1, 0, 0);
}

void FramePasses::PushConstants(const FrameConstants& constants) {
  vkCmdPushConstants(commands_, bindings_.layout, kStages, 0, sizeof(FrameConstants), &constants);
}

void FramePasses::Barrier(VkImage image, VkImageLayout from, VkImageLayout to,
                          VkPipelineStageFlags2 dst_stage, VkAccessFlags2 dst_access) {
  VkImageMemoryBarrier2 barrier{};
  barrier.sType = VK_STRUCTURE_TYPE_IMAGE_MEMORY_BARRIER_2;
  barrier.srcStageMask = VK_PIPELINE_STAGE_2_ALL_COMMANDS_BIT;
  barrier.srcAccessMask = VK_ACCESS_2_MEMORY_WRITE_BIT;
  barrier.dstStageMask = dst_stage;
  barrier.dstAccessMask = dst_access;
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
  vkCmdPipelineBarrier2(commands_, &dependency);
}

void FramePasses::BeginRendering(VkImageView view, VkExtent2D extent, bool clear) {
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
  vkCmdBeginRendering(commands_, &info);
  const VkViewport viewport{0.0f, 0.0f, static_cast<float>(extent.width),
                            static_cast<float>(extent.height), 0.0f, 1.0f};
  const VkRect2D scissor{{0, 0}, extent};
  vkCmdSetViewport(commands_, 0, 1, &viewport);
  vkCmdSetScissor(commands_, 0, 1, &scissor);
}

}  // namespace halvex::vis
