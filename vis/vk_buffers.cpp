#include "vis/vk_buffers.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/vk_context.h"
#include "vis/vk_renderer.h"
#include "vis/vk_result.h"
#include "vis/vk_targets.h"

namespace halvex::vis {

namespace {

constexpr VkDeviceSize kMeshBytes = VulkanRenderer::kMeshVertexCapacity * sizeof(MeshVertex);
constexpr VkDeviceSize kLineBytes = VulkanRenderer::kLineVertexCapacity * sizeof(DrawVertex);
static_assert(kMeshBytes == 884736 && kLineBytes == 1572864);
constexpr VkDeviceSize kCustomLineBytes =
    VulkanRenderer::kCustomLineCapacity * sizeof(DrawVertex);
constexpr VkDeviceSize kShapeBytes = VulkanRenderer::kShapeVertexCapacity * sizeof(ShapeVertex);
constexpr std::size_t kGridSide = FeedbackTargets::kWarpGridSide;
constexpr VkDeviceSize kWarpGridBytes = kGridSide * kGridSide * 2 * sizeof(float);

}  // namespace

bool FrameBuffers::Create(const VulkanContext& context, std::string& error) {
  const std::array<std::pair<MappedBuffer*, VkDeviceSize>, 5> buffers = {{
      {&mesh, kMeshBytes},
      {&waves, kLineBytes},
      {&overlay, kLineBytes},
      {&custom_lines, kCustomLineBytes},
      {&shapes, kShapeBytes},
  }};
  for (const auto& [buffer, bytes] : buffers) {
    const VkResult result =
        CreateMappedBuffer(context, bytes, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT, *buffer);
    if (result != VK_SUCCESS) {
      error = StepFailed("create the vertex buffers", result);
      return false;
    }
  }
  const VkResult staging = CreateMappedBuffer(context, kWarpGridBytes,
                                              VK_BUFFER_USAGE_TRANSFER_SRC_BIT, warp_grid);
  if (staging != VK_SUCCESS) error = StepFailed("create the warp grid's buffer", staging);
  return staging == VK_SUCCESS;
}

void FrameBuffers::Destroy(VkDevice device) {
  for (MappedBuffer* buffer :
       {&capture, &warp_grid, &shapes, &custom_lines, &overlay, &waves, &mesh}) {
    DestroyBuffer(device, *buffer);
  }
}

std::size_t FrameBuffers::FillMesh(const std::vector<MeshVertex>& grid, std::size_t columns,
                                   std::size_t rows) {
  if (columns < 2 || rows < 2 || columns > grid.size() / rows) return 0;
  auto* out = static_cast<MeshVertex*>(mesh.mapped);
  std::size_t count = 0;
  const auto put = [&](std::size_t i, std::size_t j) {
    const MeshVertex& v = grid[j * columns + i];
    out[count++] = {2.0f * v.x - 1.0f, 2.0f * v.y - 1.0f, v.u, v.v};
  };
  for (std::size_t j = 0; j + 1 < rows; ++j) {
    for (std::size_t i = 0; i + 1 < columns; ++i) {
      if (count + 6 > VulkanRenderer::kMeshVertexCapacity) return count;
      put(i, j);
      put(i + 1, j);
      put(i, j + 1);
      put(i + 1, j);
      put(i + 1, j + 1);
      put(i, j + 1);
    }
  }
  return count;
}

bool FrameBuffers::FillWarpGrid(const std::vector<MeshVertex>& grid, std::size_t columns,
                                std::size_t rows) {
  if (columns < 2 || rows < 2 || columns > kGridSide || rows > kGridSide ||
      columns * rows > grid.size()) {
    return false;
  }
  auto* out = static_cast<float*>(warp_grid.mapped);
  for (std::size_t k = 0; k < columns * rows; ++k) {
    out[2 * k] = grid[k].u;
    out[2 * k + 1] = grid[k].v;
  }
  return true;
}

std::size_t FrameBuffers::FillLines(const std::vector<DrawVertex>& lines, MappedBuffer& target) {
  const std::size_t count = std::min(lines.size(), VulkanRenderer::kLineVertexCapacity);
  if (count > 0) std::memcpy(target.mapped, lines.data(), count * sizeof(DrawVertex));
  return count;
}

bool FrameBuffers::FillCustom(const CustomDraws& custom) {
  if (custom.lines.size() > VulkanRenderer::kCustomLineCapacity ||
      custom.shapes.size() > VulkanRenderer::kShapeVertexCapacity) {
    return false;
  }
  if (!custom.lines.empty()) {
    std::memcpy(custom_lines.mapped, custom.lines.data(),
                custom.lines.size() * sizeof(DrawVertex));
  }
  if (!custom.shapes.empty()) {
    std::memcpy(shapes.mapped, custom.shapes.data(), custom.shapes.size() * sizeof(ShapeVertex));
  }
  return true;
}

bool FrameBuffers::EnsureCapture(const VulkanContext& context, VkDeviceSize bytes) {
  if (capture.size >= bytes) return true;
  DestroyBuffer(context.device, capture);
  if (CreateMappedBuffer(context, bytes, VK_BUFFER_USAGE_TRANSFER_DST_BIT, capture) ==
      VK_SUCCESS) {
    return true;
  }
  DestroyBuffer(context.device, capture);
  return false;
}

}  // namespace halvex::vis
