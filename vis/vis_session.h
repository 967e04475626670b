// The visualizer program without its `main`: the Session that owns every component, the start-up
// order, the frame loop with its pacing, and the exit paths.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/draw_types.h"
#include "vis/mpris_now_playing.h"
#include "vis/pw_capture.h"
#include "vis/ring.h"
#include "vis/title_overlay.h"
#include "vis/vis_config.h"
#include "vis/visualizer.h"
#include "vis/vk_renderer.h"
#include "vis/window.h"

namespace halvex::vis {

// The intro (opening card raised, with the mark) lasts this long; track titles come after it.
inline constexpr double kIntroSeconds = 6.0;
// Test-only: with this variable set to N > 0, each capture attempt and each wait between attempts
// lasts at most N ms, so the give-up path can be exercised in seconds instead of minutes.
inline constexpr const char* kRetryEnvironment = "HALVEX_VIS_RETRY_MS";

// The pacing clock; tests inject their own.
class FrameClock {
 public:
  virtual ~FrameClock() = default;
  virtual int64_t NowNs() = 0;
  // Sleeps `ns`; a sleep cut short by a signal resumes with the time that remains.
  virtual void SleepNs(int64_t ns) = 0;
};

// The monotonic clock.
FrameClock& SteadyFrameClock();

// Nanoseconds of one frame at `fps_cap`: (1000000 / max(fps_cap, 1)) * 1000.
int64_t FrameBudgetNs(int32_t fps_cap);

// Holds each frame to its budget: a frame that took less sleeps the rest, a longer one is
// followed at once.
class FramePacer {
 public:
  FramePacer(FrameClock& clock, int32_t fps_cap);
  // Marks the start of the loop (t = 0).
  void Start();
  // Marks the start of a frame and returns t in seconds since Start.
  double BeginFrame();
  // Sleeps what is left of the frame's budget.
  void EndFrame();

 private:
  FrameClock& clock_;
  int64_t budget_ns_;
  int64_t start_ns_ = 0;
  int64_t frame_start_ns_ = 0;
};

// Every component of one run; destroyed in reverse order, so the renderer (whose destructor
// shuts it down) always goes before the window.
struct Session {
  VisConfig config;
  AudioRing ring;
  Analyzer analyzer;
  Visualizer visualizer;
  PipeWireCapture capture = CaptureFromEnvironment();
  MprisNowPlaying now_playing;
  TitleOverlay overlay;
  VisWindow window;
  VulkanRenderer renderer;

  // The real capture, with the retry timing shortened when kRetryEnvironment asks for it.
  static PipeWireCapture CaptureFromEnvironment();
  // Stops the threads, then the renderer, then the window. Every exit path runs it.
  void Shutdown();
};

// The settings of the Visualizer from the program's configuration.
VisualizerSettings SettingsFor(const VisConfig& config);

// Start-up: configuration (notes printed), analyzer, visualizer (library line and the first
// preset's notes printed), window, renderer, capture, now-playing watcher, opening card. False
// after printing the failing component's error: the program then exits with status 1.
bool StartSession(Session& session, const VisOptions& options);

// Applies the frame's window events in order; false at a Quit (later events are dropped).
bool HandleEvents(Session& session, const std::vector<WindowEvent>& events);

// The title overlay's points at time t as vertices: over the picture (`overlay`) in its first
// phase, appended to `waves` (so into the feedback) in its second. During the intro the card is
// raised, the mark is drawn above it with the card's alpha, and the card has the product colour;
// later cards take the preset's wave colour.
void ComposeTitle(const TitleOverlay& title, double t, float aspect,
                  const FrameConstants& constants, std::vector<DrawVertex>& waves,
                  std::vector<DrawVertex>& overlay);

// The frame loop of a started session.
class FrameLoop {
 public:
  FrameLoop(Session& session, FrameClock& clock, const std::atomic<bool>& quit_requested);
  // Runs frames until a quit (0), the capture giving up or a lost device (1). The session is
  // shut down on every path.
  int Run();

 private:
  // One frame; false when the loop ends, with the exit status in `status`.
  bool Frame(int& status);

  Session& session_;
  FramePacer pacer_;
  const std::atomic<bool>& quit_requested_;
  std::string last_logged_;
  std::vector<DrawVertex> waves_;
  std::vector<DrawVertex> overlay_;
};

// The whole program: command line, start-up, loop. SIGINT and SIGTERM end it like a quit event.
int Run(int argc, char** argv);

}  // namespace halvex::vis
