#include "daemon/pw_daemon.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"

namespace halvex {
namespace {

std::vector<float> Tone(size_t frames, float frequency, float gain) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) {
    out[i] = gain * std::sin(6.2831853f * frequency * static_cast<float>(i) / 48000.0f);
  }
  return out;
}

// What the engine makes of (left, right), frame by frame, from a fresh processor.
void Reference(const ProcessorConfig& config, const std::vector<float>& left,
               const std::vector<float>& right, std::vector<float>& out_left,
               std::vector<float>& out_right) {
  Processor processor;
  processor.Configure(config);
  out_left.resize(left.size());
  out_right.resize(left.size());
  for (size_t i = 0; i < left.size(); ++i) {
    const StereoSample s = processor.ProcessFrame(left[i], right[i]);
    out_left[i] = s.left;
    out_right[i] = s.right;
  }
}

TEST(PwDaemonCycle, PassThroughIsBitExactAndMissingInputsReadAsSilence) {
  PwDaemon daemon;
  std::string error;
  ASSERT_TRUE(daemon.Configure(DefaultConfig(), error)) << error;
  daemon.SetEnabled(false);
  const std::vector<float> left = Tone(3000, 440.0f, 0.5f);
  const std::vector<float> right = Tone(3000, 660.0f, 0.25f);
  // Outputs hold stale samples from an earlier cycle; all of them must be overwritten.
  std::vector<float> out_left(3000, 7.0f), out_right(3000, 7.0f);
  daemon.ProcessCycle(left.data(), right.data(), out_left.data(), out_right.data(), 3000);
  EXPECT_EQ(out_left, left);
  EXPECT_EQ(out_right, right);

  daemon.ProcessCycle(left.data(), nullptr, out_left.data(), out_right.data(), 3000);
  EXPECT_EQ(out_left, left);
  EXPECT_EQ(out_right, std::vector<float>(3000, 0.0f));
}

TEST(PwDaemonCycle, ProcessingMatchesTheProcessorEvenWithAnOutputMissing) {
  PwDaemon daemon;
  std::string error;
  const ProcessorConfig config = DefaultConfig();
  ASSERT_TRUE(daemon.Configure(config, error)) << error;
  daemon.SetEnabled(true);
  // Longer than one slice, with an unlinked right output and an unlinked right input.
  const std::vector<float> left = Tone(2500, 330.0f, 0.5f);
  const std::vector<float> silence(2500, 0.0f);
  std::vector<float> want_left, want_right;
  Reference(config, left, silence, want_left, want_right);

  std::vector<float> out_left(2500, 7.0f);
  daemon.ProcessCycle(left.data(), nullptr, out_left.data(), nullptr, 1000);
  daemon.ProcessCycle(left.data() + 1000, nullptr, out_left.data() + 1000, nullptr, 1500);
  EXPECT_EQ(out_left, want_left);
  float energy = 0.0f;
  for (float v : out_left) energy += v * v;
  EXPECT_GT(energy, 1.0f) << "the left-only device must hear the engine";

  // A cycle with no output buffer at all is skipped and leaves the engine where it was.
  daemon.ProcessCycle(left.data(), left.data(), nullptr, nullptr, 256);
  std::vector<float> tail_left(10), tail_right(10);
  daemon.ProcessCycle(silence.data(), silence.data(), tail_left.data(), tail_right.data(), 10);
  std::vector<float> ref_l, ref_r;
  std::vector<float> longer_left = left, longer_silence = silence;
  longer_left.insert(longer_left.end(), 10, 0.0f);
  longer_silence.insert(longer_silence.end(), 10, 0.0f);
  Reference(config, longer_left, longer_silence, ref_l, ref_r);
  EXPECT_EQ(tail_left, std::vector<float>(ref_l.end() - 10, ref_l.end()));
  EXPECT_EQ(tail_right, std::vector<float>(ref_r.end() - 10, ref_r.end()));
}

TEST(PwDaemonConfig, RejectedConfigurationChangesNothing) {
  PwDaemon daemon;
  std::string error;
  ProcessorConfig config = DefaultConfig();
  config.wet_dry_ratio = 0.25f;
  ASSERT_TRUE(daemon.Configure(config, error)) << error;
  ProcessorConfig bad = config;
  bad.wet_dry_ratio = 7.0f;
  EXPECT_FALSE(daemon.Reconfigure(bad, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(daemon.CurrentConfig().wet_dry_ratio, 0.25f);
  // Outside Run a device change is only recorded; nothing waits for a loop that is not there.
  ProcessorConfig moved = config;
  moved.output_device = "speakers";
  EXPECT_TRUE(daemon.Reconfigure(moved, error)) << error;
  EXPECT_EQ(daemon.CurrentConfig().output_device, "speakers");
  EXPECT_TRUE(daemon.Devices().empty());
  EXPECT_EQ(daemon.ActiveDevice(), "");
}

TEST(PwDaemonConfig, AProcessorThatCannotBeBuiltKeepsTheOneInForce) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "an address-space limit cannot work under AddressSanitizer's shadow memory";
#endif
  PwDaemon daemon;
  std::string error;
  ProcessorConfig config = DefaultConfig();
  config.wet_dry_ratio = 0.25f;
  ASSERT_TRUE(daemon.Configure(config, error)) << error;
  // In a child, so the address-space limit cannot starve the test itself.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    long pages = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool read = statm != nullptr && std::fscanf(statm, "%ld", &pages) == 1;
    if (statm != nullptr) std::fclose(statm);
    const rlim_t room = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (64 << 10);
    const rlimit limit{room, room};
    ProcessorConfig next = config;
    next.spatial_algorithm = SpatialAlgorithm::kEchoWidener;
    std::string why;
    const bool refused = read && ::setrlimit(RLIMIT_AS, &limit) == 0 &&
                         !daemon.Reconfigure(next, why) &&
                         why == "cannot build the engine: out of memory" &&
                         daemon.CurrentConfig().spatial_algorithm == config.spatial_algorithm;
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the swap did not fail cleanly under the limit";
}

TEST(PwDaemonSwap, NeverFreesAProcessorTheDataThreadHoldsAndFreesItOnceLetGo) {
  PwDaemon daemon;
  std::string error;
  ASSERT_TRUE(daemon.Configure(DefaultConfig(), error)) << error;
  daemon.SetEnabled(true);
  const auto now_ns = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  // One long cycle on a "data thread": about half a second of work however fast this build
  // and machine are (a sanitizer build is several times slower), long enough to overlap two
  // swaps.
  uint32_t frames = 48000;
  {
    Processor probe;
    probe.Configure(DefaultConfig());
    const int64_t start = now_ns();
    for (uint32_t i = 0; i < frames; ++i) probe.ProcessFrame(0.1f, 0.1f);
    const double ns_per_frame = static_cast<double>(now_ns() - start) / frames;
    frames = static_cast<uint32_t>(std::clamp(5e8 / ns_per_frame, 48000.0, 48000.0 * 40));
  }
  const uint32_t kFrames = frames;
  std::vector<float> in(kFrames, 0.1f), out_left(kFrames), out_right(kFrames);
  std::atomic<bool> cycle_done{false};
  std::thread data([&] {
    daemon.ProcessCycle(in.data(), in.data(), out_left.data(), out_right.data(), kFrames);
    cycle_done = true;
  });
  ASSERT_TRUE([&] {
    for (int i = 0; i < 5000 && daemon.HeardProcessor() == nullptr; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return daemon.HeardProcessor() != nullptr;
  }());
  // Two swaps while the cycle runs: the first processor is still being played, the second
  // was never picked up and can go at once.
  ProcessorConfig other = DefaultConfig();
  other.wet_dry_ratio = 0.5f;
  ASSERT_TRUE(daemon.Reconfigure(other, error)) << error;
  ASSERT_TRUE(daemon.Reconfigure(DefaultConfig(), error)) << error;
  const size_t owned_during = daemon.OwnedProcessors();
  const bool cycle_was_running = !cycle_done.load();
  data.join();
  ASSERT_TRUE(cycle_was_running) << "the cycle was too short to overlap the swaps";
  EXPECT_EQ(owned_during, 2u) << "the played processor and the newest one";
  EXPECT_TRUE(std::isfinite(out_left.back()) && std::isfinite(out_right.back()));

  // Later cycles cross over to the newest; then the first one is let go and freed. They are
  // spaced as a graph spaces them, or the guard would take the long cycle for a stall.
  std::vector<float> short_in(1024, 0.1f), short_l(1024), short_r(1024);
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    daemon.ProcessCycle(short_in.data(), short_in.data(), short_l.data(), short_r.data(), 1024);
  }
  daemon.FreeRetired();
  EXPECT_EQ(daemon.OwnedProcessors(), 1u);
}

}  // namespace
}  // namespace halvex
