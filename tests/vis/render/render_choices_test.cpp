#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "tests/vis/app/scoped_env.h"
#include "vis/draw_types.h"
#include "vis/vk_context.h"
#include "vis/vk_pipelines.h"
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

// A variant that leaves out the echo or the effects must only be chosen where the shader would
// not have used them: echo_alpha not above 0, effects exactly 0.
TEST(CompositeChoice, LeavesOutOnlyWhatTheFrameDoesNotUse) {
  struct Case {
    float echo_alpha;
    float effects;
    std::size_t expected;
  };
  const Case cases[] = {
      {0.0f, 0.0f, 0},  {0.5f, 0.0f, 1},   {0.0f, 1.0f, 2},  {1.0f, 8.0f, 3},
      {-1.0f, 0.0f, 0},  // a negative echo mix is no echo
      {0.0f, -1.0f, 2},  // negative bits still read as effects
      {0.0f, -0.0f, 0},
      {NAN, NAN, 2},     // NaN: no echo, effects as the shader reads them
  };
  for (const Case& c : cases) {
    FrameConstants constants;
    constants.echo_alpha = c.echo_alpha;
    constants.effects = c.effects;
    EXPECT_EQ(Pipelines::CompositeVariant(constants), c.expected)
        << "echo " << c.echo_alpha << ", effects " << c.effects;
  }
}

TEST(SoftwareRasteriserThreads, OneUnlessTheUserChoseACount) {
  {
    const ScopedEnv unset("LP_NUM_THREADS", nullptr);
    PreferOneSoftwareRasteriserThread();
    EXPECT_STREQ(std::getenv("LP_NUM_THREADS"), "1");
  }
  const ScopedEnv chosen("LP_NUM_THREADS", "3");
  PreferOneSoftwareRasteriserThread();
  EXPECT_STREQ(std::getenv("LP_NUM_THREADS"), "3");
}

}  // namespace
}  // namespace halvex::vis
