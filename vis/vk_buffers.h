// The persistently mapped vertex buffers a frame's draws read, filled from the visualizer's
// lists without allocating, the warp grid's staging buffer, and the capture buffer of the
// test hook.
#pragma once

#include <vulkan/vulkan.h>

#include <cstddef>
#include <string>
#include <vector>

#include "vis/vk_memory.h"

namespace halvex::vis {

struct VulkanContext;
struct MeshVertex;
struct DrawVertex;
struct CustomDraws;

struct FrameBuffers {
  MappedBuffer mesh;
  MappedBuffer waves;
  MappedBuffer overlay;
  MappedBuffer custom_lines;
  MappedBuffer shapes;
  MappedBuffer warp_grid;  // copied into the warp grid image
  MappedBuffer capture;    // grown on demand while capturing

  // All five vertex buffers and the staging buffer at their fixed capacities; `error` says
  // which failed and why.
  bool Create(const VulkanContext& context, std::string& error);
  void Destroy(VkDevice device);

  // Two triangles per grid cell, in clip space; the vertex count. A grid that does not match
  // the vertex list draws nothing rather than reading past it.
  std::size_t FillMesh(const std::vector<MeshVertex>& grid, std::size_t columns,
                       std::size_t rows);
  // The grid's texture coordinates, row after row, `columns` (u, v) pairs each; false (nothing
  // written) for a grid that does not match the vertex list or the grid image.
  bool FillWarpGrid(const std::vector<MeshVertex>& grid, std::size_t columns, std::size_t rows);
  // Copies a line strip into `target`, cut to the line capacity; the vertex count.
  static std::size_t FillLines(const std::vector<DrawVertex>& lines, MappedBuffer& target);
  // Copies the custom vertices; false when they do not fit.
  bool FillCustom(const CustomDraws& custom);
  // A capture buffer of at least `bytes` (test hook only: the one allocation in a frame);
  // false when none could be made.
  bool EnsureCapture(const VulkanContext& context, VkDeviceSize bytes);
};

}  // namespace halvex::vis
