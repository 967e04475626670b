#include <gtest/gtest.h>

#include "vis/vk_renderer.h"
#include "vis/vk_targets.h"

namespace halvex::vis {
namespace {

TEST(RenderScaleChoice, AutomaticFollowsTheDeviceAndAChoiceIsClamped) {
  struct Case {
    float requested;
    bool cpu;
    float expected;
  };
  const Case cases[] = {
      {0.0f, true, VulkanRenderer::kCpuRenderScale},
      {0.0f, false, 1.0f},
      {-1.0f, true, VulkanRenderer::kCpuRenderScale},  // not a share: automatic
      {0.5f, true, 0.5f},
      {0.5f, false, 0.5f},                             // a choice wins on a GPU too
      {0.01f, true, VulkanRenderer::kMinRenderScale},
      {3.0f, true, 1.0f},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseRenderScale(c.requested, c.cpu, VulkanRenderer::kMinRenderScale,
                                VulkanRenderer::kCpuRenderScale),
              c.expected)
        << c.requested << (c.cpu ? " on a CPU" : " on a GPU");
  }
}

}  // namespace
}  // namespace halvex::vis
