#include "vis/vk_pipelines.h"

#include <array>
#include <cstddef>

#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/shaders/spirv.h"
#include "vis/vk_result.h"
#include "vis/vk_targets.h"

namespace halvex::vis {

namespace {

static_assert(offsetof(FrameConstants, reserved) == Pipelines::kPointSizeOffset);

// The fixed-function pieces that differ between the pipelines.
enum class VertexLayout { None, Mesh, Draw, Shape };
enum class Blend { None, Alpha, Additive };

struct PipelineShape {
  VkShaderModule vertex;
  VkShaderModule fragment;
  VkPrimitiveTopology topology;
  VertexLayout layout;
  Blend blend;
  VkFormat format;
  const VkSpecializationInfo* fragment_constants = nullptr;
};

// composite.frag's kEcho and kEffects for each variant (bit 0 echo, bit 1 effects).
constexpr std::array<VkSpecializationMapEntry, 2> kCompositeEntries = {{
    {0, 0, sizeof(VkBool32)},
    {1, sizeof(VkBool32), sizeof(VkBool32)},
}};
constexpr std::array<std::array<VkBool32, 2>, 4> kCompositeSwitches = {{
    {VK_FALSE, VK_FALSE},
    {VK_TRUE, VK_FALSE},
    {VK_FALSE, VK_TRUE},
    {VK_TRUE, VK_TRUE},
}};

VkSpecializationInfo CompositeSwitches(std::size_t variant) {
  return {static_cast<uint32_t>(kCompositeEntries.size()), kCompositeEntries.data(),
          sizeof(kCompositeSwitches[variant]), kCompositeSwitches[variant].data()};
}

// Vertex input for one layout; `attributes` must outlive the returned state.
VkPipelineVertexInputStateCreateInfo VertexInput(
    VertexLayout layout, VkVertexInputBindingDescription& binding,
    std::array<VkVertexInputAttributeDescription, 4>& attributes) {
  VkPipelineVertexInputStateCreateInfo input{};
  input.sType = VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO;
  binding = {0, 0, VK_VERTEX_INPUT_RATE_VERTEX};
  if (layout == VertexLayout::None) return input;
  input.vertexBindingDescriptionCount = 1;
  input.pVertexBindingDescriptions = &binding;
  input.pVertexAttributeDescriptions = attributes.data();
  if (layout == VertexLayout::Shape) {
    binding.stride = sizeof(ShapeVertex);
    attributes[0] = {0, 0, VK_FORMAT_R32G32_SFLOAT, offsetof(ShapeVertex, x)};
    attributes[1] = {1, 0, VK_FORMAT_R32G32_SFLOAT, offsetof(ShapeVertex, u)};
    attributes[2] = {2, 0, VK_FORMAT_R32G32B32A32_SFLOAT, offsetof(ShapeVertex, r)};
    attributes[3] = {3, 0, VK_FORMAT_R32_SFLOAT, offsetof(ShapeVertex, textured)};
    input.vertexAttributeDescriptionCount = 4;
    return input;
  }
  const bool mesh = layout == VertexLayout::Mesh;
  binding.stride = mesh ? sizeof(MeshVertex) : sizeof(DrawVertex);
  attributes[0] = {0, 0, VK_FORMAT_R32G32_SFLOAT, 0};
  attributes[1] = {1, 0, mesh ? VK_FORMAT_R32G32_SFLOAT : VK_FORMAT_R32G32B32A32_SFLOAT, 8};
  input.vertexAttributeDescriptionCount = 2;
  return input;
}

VkPipelineColorBlendAttachmentState BlendState(Blend blend) {
  VkPipelineColorBlendAttachmentState attachment{};
  attachment.colorWriteMask = VK_COLOR_COMPONENT_R_BIT | VK_COLOR_COMPONENT_G_BIT |
                              VK_COLOR_COMPONENT_B_BIT | VK_COLOR_COMPONENT_A_BIT;
  if (blend == Blend::None) return attachment;
  attachment.blendEnable = VK_TRUE;
  attachment.srcColorBlendFactor = VK_BLEND_FACTOR_SRC_ALPHA;
  attachment.dstColorBlendFactor =
      blend == Blend::Alpha ? VK_BLEND_FACTOR_ONE_MINUS_SRC_ALPHA : VK_BLEND_FACTOR_ONE;
  attachment.colorBlendOp = VK_BLEND_OP_ADD;
  attachment.srcAlphaBlendFactor = VK_BLEND_FACTOR_ONE;
  attachment.dstAlphaBlendFactor = VK_BLEND_FACTOR_ZERO;
  attachment.alphaBlendOp = VK_BLEND_OP_ADD;
  return attachment;
}

// The state every pipeline shares: one viewport, filled, unculled, single-sampled.
struct FixedState {
  VkPipelineViewportStateCreateInfo viewport{};
  VkPipelineRasterizationStateCreateInfo raster{};
  VkPipelineMultisampleStateCreateInfo multisample{};

  FixedState() {
    viewport.sType = VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO;
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;
    raster.sType = VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO;
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    raster.frontFace = VK_FRONT_FACE_COUNTER_CLOCKWISE;
    raster.lineWidth = 1.0f;
    multisample.sType = VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO;
    multisample.rasterizationSamples = VK_SAMPLE_COUNT_1_BIT;
  }
};

VkResult Build(VkDevice device, VkPipelineLayout layout, const PipelineShape& shape,
               VkPipeline& pipeline) {
  std::array<VkPipelineShaderStageCreateInfo, 2> stages{};
  for (auto& stage : stages) {
    stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    stage.pName = "main";
  }
  stages[0].stage = VK_SHADER_STAGE_VERTEX_BIT;
  stages[0].module = shape.vertex;
  stages[1].stage = VK_SHADER_STAGE_FRAGMENT_BIT;
  stages[1].module = shape.fragment;
  stages[1].pSpecializationInfo = shape.fragment_constants;
  VkVertexInputBindingDescription binding{};
  std::array<VkVertexInputAttributeDescription, 4> attributes{};
  const VkPipelineVertexInputStateCreateInfo input = VertexInput(shape.layout, binding, attributes);
  VkPipelineInputAssemblyStateCreateInfo assembly{};
  assembly.sType = VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO;
  assembly.topology = shape.topology;
  const FixedState fixed;
  const VkPipelineColorBlendAttachmentState attachment = BlendState(shape.blend);
  VkPipelineColorBlendStateCreateInfo blending{};
  blending.sType = VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO;
  blending.attachmentCount = 1;
  blending.pAttachments = &attachment;
  // Line pipelines take their width per draw (thick custom waves).
  const std::array<VkDynamicState, 3> dynamic_states = {
      VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR, VK_DYNAMIC_STATE_LINE_WIDTH};
  VkPipelineDynamicStateCreateInfo dynamic{};
  dynamic.sType = VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO;
  dynamic.dynamicStateCount = shape.topology == VK_PRIMITIVE_TOPOLOGY_LINE_STRIP ? 3u : 2u;
  dynamic.pDynamicStates = dynamic_states.data();
  VkPipelineRenderingCreateInfo rendering{};
  rendering.sType = VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO;
  rendering.colorAttachmentCount = 1;
  rendering.pColorAttachmentFormats = &shape.format;

  VkGraphicsPipelineCreateInfo info{};
  info.sType = VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO;
  info.pNext = &rendering;
  info.stageCount = static_cast<uint32_t>(stages.size());
  info.pStages = stages.data();
  info.pVertexInputState = &input;
  info.pInputAssemblyState = &assembly;
  info.pViewportState = &fixed.viewport;
  info.pRasterizationState = &fixed.raster;
  info.pMultisampleState = &fixed.multisample;
  info.pColorBlendState = &blending;
  info.pDynamicState = &dynamic;
  info.layout = layout;
  const VkResult result =
      vkCreateGraphicsPipelines(device, VK_NULL_HANDLE, 1, &info, nullptr, &pipeline);
  if (result != VK_SUCCESS) pipeline = VK_NULL_HANDLE;
  return result;
}

struct Spirv {
  const uint32_t* words;
  std::size_t bytes;
};
enum Module { kWarpVs, kWarpFs, kDrawVs, kDrawFs, kCompositeVs, kCompositeFs, kShapeVs, kShapeFs,
              kDotsVs, kUpscaleFs, kWarpGridVs, kWarpGridFs, kModuleCount };
constexpr std::array<Spirv, kModuleCount> kSpirv = {{
    {kWarpVertSpv, sizeof(kWarpVertSpv)},
    {kWarpFragSpv, sizeof(kWarpFragSpv)},
    {kDrawVertSpv, sizeof(kDrawVertSpv)},
    {kDrawFragSpv, sizeof(kDrawFragSpv)},
    {kCompositeVertSpv, sizeof(kCompositeVertSpv)},
    {kCompositeFragSpv, sizeof(kCompositeFragSpv)},
    {kShapeVertSpv, sizeof(kShapeVertSpv)},
    {kShapeFragSpv, sizeof(kShapeFragSpv)},
    {kDotsVertSpv, sizeof(kDotsVertSpv)},
    {kUpscaleFragSpv, sizeof(kUpscaleFragSpv)},
    {kWarpGridVertSpv, sizeof(kWarpGridVertSpv)},
    {kWarpGridFragSpv, sizeof(kWarpGridFragSpv)},
}};

using Modules = std::array<VkShaderModule, kModuleCount>;

VkResult CreateModules(VkDevice device, Modules& modules) {
  for (std::size_t i = 0; i < kSpirv.size(); ++i) {
    VkShaderModuleCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    info.codeSize = kSpirv[i].bytes;
    info.pCode = kSpirv[i].words;
    const VkResult result = vkCreateShaderModule(device, &info, nullptr, &modules[i]);
    if (result != VK_SUCCESS) {
      modules[i] = VK_NULL_HANDLE;
      return result;
    }
  }
  return VK_SUCCESS;
}

}  // namespace

bool Pipelines::Create(VkDevice device, VkPipelineLayout layout, VkFormat feedback_format,
                       VkFormat window_format, std::string& error) {
  Modules m = {};
  VkResult result = CreateModules(device, m);
  if (result != VK_SUCCESS) error = StepFailed("load the shaders", result);
  if (result == VK_SUCCESS) {
    const VkPrimitiveTopology triangles = VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    const VkPrimitiveTopology lines = VK_PRIMITIVE_TOPOLOGY_LINE_STRIP;
    const VkPrimitiveTopology points = VK_PRIMITIVE_TOPOLOGY_POINT_LIST;
    const VkFormat feedback = feedback_format;
    const VkFormat scaled = FeedbackTargets::kScaledFormat;
    // The first failure names its pipeline; the rest are not attempted.
    const auto build = [&](VkPipeline& out, const PipelineShape& shape) {
      if (result != VK_SUCCESS) return;
      result = Build(device, layout, shape, out);
      if (result != VK_SUCCESS) error = StepFailed("create the graphics pipelines", result);
    };
    using L = VertexLayout;
    build(warp, {m[kWarpVs], m[kWarpFs], triangles, L::Mesh, Blend::None, feedback});
    build(warp_grid, {m[kWarpGridVs], m[kWarpGridFs], triangles, L::None, Blend::None, feedback});
    build(waves_alpha, {m[kDrawVs], m[kDrawFs], lines, L::Draw, Blend::Alpha, feedback});
    build(waves_additive, {m[kDrawVs], m[kDrawFs], lines, L::Draw, Blend::Additive, feedback});
    for (std::size_t variant = 0; variant < composite.size(); ++variant) {
      const VkSpecializationInfo switches = CompositeSwitches(variant);
      build(composite[variant], {m[kCompositeVs], m[kCompositeFs], triangles, L::None,
                                 Blend::None, window_format, &switches});
      build(composite_scaled[variant], {m[kCompositeVs], m[kCompositeFs], triangles, L::None,
                                        Blend::None, scaled, &switches});
    }
    build(overlay, {m[kDrawVs], m[kDrawFs], lines, L::Draw, Blend::Alpha, window_format});
    build(dots_alpha, {m[kDotsVs], m[kDrawFs], points, L::Draw, Blend::Alpha, feedback});
    build(dots_additive, {m[kDotsVs], m[kDrawFs], points, L::Draw, Blend::Additive, feedback});
    build(shapes_alpha, {m[kShapeVs], m[kShapeFs], triangles, L::Shape, Blend::Alpha, feedback});
    build(shapes_additive,
          {m[kShapeVs], m[kShapeFs], triangles, L::Shape, Blend::Additive, feedback});
    build(upscale,
          {m[kCompositeVs], m[kUpscaleFs], triangles, L::None, Blend::None, window_format});
    swapchain_format = window_format;
  }
  for (VkShaderModule module : m) {
    if (module != VK_NULL_HANDLE) vkDestroyShaderModule(device, module, nullptr);
  }
  if (result != VK_SUCCESS) Destroy(device);
  return result == VK_SUCCESS;
}

std::size_t Pipelines::CompositeVariant(const FrameConstants& constants) {
  // NaN effects take the full variant, which draws them exactly as the shader reads them.
  return (constants.echo_alpha > 0.0f ? 1u : 0u) | (constants.effects != 0.0f ? 2u : 0u);
}

void Pipelines::Destroy(VkDevice device) {
  for (CompositeVariants* variants : {&composite, &composite_scaled}) {
    for (VkPipeline& pipeline : *variants) {
      if (pipeline != VK_NULL_HANDLE) vkDestroyPipeline(device, pipeline, nullptr);
      pipeline = VK_NULL_HANDLE;
    }
  }
  for (VkPipeline* pipeline : {&warp, &warp_grid, &waves_alpha, &waves_additive, &overlay,
                               &dots_alpha, &dots_additive, &shapes_alpha, &shapes_additive,
                               &upscale}) {
    if (*pipeline != VK_NULL_HANDLE) vkDestroyPipeline(device, *pipeline, nullptr);
    *pipeline = VK_NULL_HANDLE;
  }
}

}  // namespace halvex::vis
