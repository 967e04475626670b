// Whole visualizer frames at 1280x720 (preset evaluation, waves, Vulkan feedback and composite,
// present) for the built-in preset and each preset of ours. Runs on whatever Vulkan device the
// loader offers; `VK_ICD_FILENAMES=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json` picks lavapipe.
// Without DISPLAY a private Xvfb is started. As in halvex-vis, lavapipe rasterises on one
// thread unless LP_NUM_THREADS says otherwise, and its frames reach the window through X11
// shared memory unless HALVEX_VIS_SHM=0 asks for the swapchain. Counters: fps (wall clock),
// cpu_ms (process CPU per frame, the rasteriser's threads included on a software device),
// render_ms (the calling thread's CPU per frame: evaluation, recording, submission, and on a
// software device the stretch into shared memory).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/vis/render/music.h"
#include "vis/analysis.h"
#include "vis/vk_context.h"
#include "vis/vk_renderer.h"
#include "vis/visualizer.h"
#include "vis/window.h"

namespace halvex::vis {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kWarmUpFrames = 30;

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// A private display for the whole program when none is given; killed with the program.
void EnsureDisplay() {
  if (std::getenv("DISPLAY") != nullptr) return;
  static char runtime[] = "/tmp/halvex-vis-bench-XXXXXX";
  if (mkdtemp(runtime) == nullptr) return;
  int fds[2];
  if (pipe(fds) != 0) return;
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(fds[1], 3);
    execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  char c = 0;
  while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  setenv("DISPLAY", (":" + number).c_str(), 1);
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) setenv("XDG_RUNTIME_DIR", runtime, 1);
}

// Arguments: index into our collection (one past its end is the built-in preset), 1 to leave
// out the preset's evaluation (the renderer's own cost), and the render scale in percent (0:
// the renderer's automatic choice).
void BM_Frame(benchmark::State& state) {
  PreferOneSoftwareRasteriserThread();  // as halvex-vis does
  EnsureDisplay();
  unsetenv("HALVEX_VIS_VALIDATE");
  VisWindow window;
  VulkanRenderer renderer;
  std::string error;
  renderer.SetRenderScale(static_cast<float>(state.range(2)) / 100.0f);
  if (!window.Open("halvex-vis bench", kWidth, kHeight, false, error) ||
      !renderer.Initialise(window, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  VisualizerSettings settings;
  settings.fallback_dirs.clear();
  settings.preset_dir = HALVEX_SOURCE_DIR "/vis/presets";
  Visualizer visualizer;
  visualizer.Configure(settings);
  const auto index = static_cast<std::size_t>(state.range(0));
  if (index < visualizer.library_size()) {
    if (!visualizer.LoadIndex(index)) state.SkipWithError("preset did not load");
  } else {
    settings.preset_dir = "/nonexistent";
    visualizer.Configure(settings);
  }
  visualizer.ToggleLock();  // the preset under test stays on screen
  state.SetLabel(visualizer.current_name() + " @" + std::to_string(renderer.render_scale()));

  const bool render_only = state.range(1) != 0;  // the preset's first frame over and over
  if (render_only) visualizer.Advance(Music(0), 0.0, static_cast<float>(kWidth) / kHeight);
  int frame = 0;
  const auto draw = [&] {
    if (!render_only) {
      visualizer.Advance(Music(frame), frame / 60.0, static_cast<float>(kWidth) / kHeight);
    }
    renderer.RenderFrame(visualizer.mesh(), visualizer.columns(), visualizer.rows(),
                         visualizer.waves(), {}, visualizer.Constants(),
                         visualizer.additive_waves(), &visualizer.custom_draws());
    ++frame;
  };
  // A software rasteriser compiles shader variants at their first draws: a start-up cost,
  // left out of the steady state measured here.
  while (frame < kWarmUpFrames) draw();
  const int first_timed = frame;
  const double cpu_start = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double thread_start = Seconds(CLOCK_THREAD_CPUTIME_ID);
  const double wall_start = Seconds(CLOCK_MONOTONIC);
  for (auto _ : state) draw();
  const double frames = static_cast<double>(frame - first_timed);
  state.counters["fps"] = frames / (Seconds(CLOCK_MONOTONIC) - wall_start);
  state.counters["cpu_ms"] = 1e3 * (Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start) / frames;
  state.counters["render_ms"] = 1e3 * (Seconds(CLOCK_THREAD_CPUTIME_ID) - thread_start) / frames;
}
BENCHMARK(BM_Frame)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 19, 1), {0}, {0}})
    ->Args({19, 0, 100})  // the built-in preset at full size, as a GPU draws it
    ->Args({19, 1, 0})
    ->Args({19, 1, 25})  // against the one above: what the feedback chain's size costs
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halvex::vis
