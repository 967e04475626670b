#include "daemon/realtime_state.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "core/config/config_defaults.h"
#include "daemon/unique_fd.h"

namespace halvex {
namespace {

// The data thread's state on its own, as the process callback drives it.
TEST(RealtimeState, ProcessesOnlyWhenEnabledAndSlicesLongCyclesWithoutLosingAFrame) {
  Processor processor;
  processor.Configure(DefaultConfig());
  constexpr uint32_t kFrames = 3 * RealtimeState::kSliceFrames + 17;
  std::vector<float> left(kFrames), right(kFrames), out_left(kFrames), out_right(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) {
    left[i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
    right[i] = -left[i];
  }
  {
    RealtimeState off;
    off.processors.Publish(&processor);
    off.ProcessCycle(left.data(), right.data(), out_left.data(), out_right.data(), kFrames);
    EXPECT_EQ(out_left, left);
    EXPECT_EQ(out_right, right);
  }

  // The first cycle plays the processor at once: nothing was heard before it to cross from.
  RealtimeState state;
  state.processors.Publish(&processor);
  state.enabled.store(true);
  state.ProcessCycle(left.data(), right.data(), out_left.data(), out_right.data(), kFrames);
  Processor reference;
  reference.Configure(DefaultConfig());
  for (uint32_t i = 0; i < kFrames; ++i) {
    const StereoSample s = reference.ProcessFrame(left[i], right[i]);
    ASSERT_EQ(out_left[i], s.left) << i;
    ASSERT_EQ(out_right[i], s.right) << i;
  }
  EXPECT_EQ(state.processors.Heard(), &processor);
}

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesOnResetAndDestructionAndMovesOwnership) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    UniqueFd a(fds[0]);
    UniqueFd b(fds[1]);
    UniqueFd c(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_EQ(c.get(), fds[0]);
    c = std::move(b);  // closes the read end, takes the write end
    EXPECT_FALSE(IsOpen(fds[0]));
    EXPECT_TRUE(IsOpen(fds[1]));
  }
  EXPECT_FALSE(IsOpen(fds[1]));
}

}  // namespace
}  // namespace halvex
