#include "vis/vis_session.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "vis/vk_context.h"

namespace halvex::vis {

namespace {

constexpr int kWindowWidth = 1280;
constexpr int kWindowHeight = 720;
constexpr int kSampleRate = 48000;
constexpr float kIntroRaise = 0.16f;  // the opening card sits below the mark
constexpr float kMarkY = -0.22f;
constexpr float kMarkSize = 0.42f;
constexpr float kTitleLift = 0.35f;  // titles are drawn lighter than their colour base
// The product colour of the opening card.
constexpr float kIntroR = 0.549f;
constexpr float kIntroG = 0.114f;
constexpr float kIntroB = 0.42f;

class SteadyClock final : public FrameClock {
 public:
  int64_t NowNs() override {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  }
  // To an absolute deadline, so a signal that interrupts the sleep only makes it resume.
  void SleepNs(int64_t ns) override {
    const int64_t deadline = NowNs() + ns;
    timespec until{static_cast<time_t>(deadline / 1000000000),
                   static_cast<long>(deadline % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
  }
};

// Set by SIGINT and SIGTERM: a service manager's stop and a terminal's Ctrl-C end the program
// as the window's quit does. Installed before SDL starts, so SDL keeps its own handlers out.
std::atomic<bool> g_stop_requested{false};

extern "C" void OnStopSignal(int) { g_stop_requested.store(true); }

void InstallStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int RetryLimitMs() {
  const char* value = std::getenv(kRetryEnvironment);
  if (value == nullptr) return 0;
  const long ms = std::strtol(value, nullptr, 10);
  return ms > 0 && ms < 1000000 ? static_cast<int>(ms) : 0;
}

// The real attempt, quit after `limit_ms` unless it ends sooner.
CaptureAttempt BoundedAttempt(int limit_ms) {
  return [limit_ms](const std::string& node_target, AudioRing& ring, std::atomic<bool>& audio_seen,
                    std::atomic<bool>& running, CaptureLoopSlot& loop) {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread limit([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (!ended.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return done; })) {
        loop.Quit();
      }
    });
    const bool ok = RunOnce(node_target, ring, audio_seen, running, loop);
    {
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
    }
    ended.notify_one();
    limit.join();
    return ok;
  };
}

}  // namespace

FrameClock& SteadyFrameClock() {
  static SteadyClock clock;
  return clock;
}

int64_t FrameBudgetNs(int32_t fps_cap) {
  return static_cast<int64_t>(1000000 / std::max<int32_t>(fps_cap, 1)) * 1000;
}

FramePacer::FramePacer(FrameClock& clock, int32_t fps_cap)
    : clock_(clock), budget_ns_(FrameBudgetNs(fps_cap)) {}

void FramePacer::Start() { start_ns_ = clock_.NowNs(); }

double FramePacer::BeginFrame() {
  frame_start_ns_ = clock_.NowNs();
  return static_cast<double>(frame_start_ns_ - start_ns_) * 1e-9;
}

void FramePacer::EndFrame() {
  const int64_t elapsed = clock_.NowNs() - frame_start_ns_;
  if (budget_ns_ > elapsed) clock_.SleepNs(budget_ns_ - elapsed);
}

PipeWireCapture Session::CaptureFromEnvironment() {
  const int limit_ms = RetryLimitMs();
  if (limit_ms == 0) return PipeWireCapture();
  return PipeWireCapture(BoundedAttempt(limit_ms),
                         [limit_ms](int ms, const std::atomic<bool>& running) {
                           WaitWhileRunning(std::min(ms, limit_ms), running);
                         });
}

void Session::Shutdown() {
  now_playing.Stop();
  capture.Stop();
  renderer.Shutdown();
  window.Close();
}

VisualizerSettings SettingsFor(const VisConfig& config) {
  VisualizerSettings settings;
  settings.preset_dir = config.preset_dir;
  settings.preset_time = config.preset_time;
  settings.hard_cut_beat = config.hard_cut_beat;
  settings.blend_time = config.blend_time;
  settings.mesh_x = config.mesh_x;
  settings.mesh_y = config.mesh_y;
  return settings;
}

bool StartSession(Session& session, const VisOptions& options) {
  std::string notes;
  session.config = LoadVisConfig(options.config_path, notes);
  if (!notes.empty()) std::fprintf(stderr, "halvex-vis: %s\n", notes.c_str());
  if (options.fullscreen) session.config.fullscreen = true;

  session.analyzer.Configure(kSampleRate);
  Visualizer& visualizer = session.visualizer;
  visualizer.Configure(SettingsFor(session.config));
  std::fprintf(stderr, "halvex-vis: %zu presets in %s; showing \"%s\"\n", visualizer.library_size(),
               visualizer.library_dir().c_str(), visualizer.current_name().c_str());
  for (const std::string& note : visualizer.notes()) {
    std::fprintf(stderr, "halvex-vis: %s: %s\n", visualizer.current_name().c_str(), note.c_str());
  }

  std::string error;
  const std::string title = std::string(kProductName) + " Visualizer — " + kMakerName;
  session.renderer.SetRenderScale(session.config.render_scale);
  if (!session.window.Open(title, kWindowWidth, kWindowHeight, session.config.fullscreen, error) ||
      !session.renderer.Initialise(session.window, error) ||
      !session.capture.Start(session.config.node_target, session.ring, error)) {
    std::fprintf(stderr, "halvex-vis: %s\n", error.c_str());
    return false;
  }
  session.now_playing.Start();
  session.overlay.Announce(std::string(kProductName) + "  ~  " + kMakerName, 0.0);
  return true;
}

bool HandleEvents(Session& session, const std::vector<WindowEvent>& events) {
  for (const WindowEvent event : events) {
    switch (event) {
      case WindowEvent::Quit:
        return false;
      case WindowEvent::NextPreset:
        // Asking for the next preset means leaving this one, lock or not.
        if (session.visualizer.locked()) session.visualizer.ToggleLock();
        session.visualizer.Next();
        break;
      case WindowEvent::PreviousPreset:
        session.visualizer.Previous();
        break;
      case WindowEvent::ToggleLock:
        session.visualizer.ToggleLock();
        break;
      case WindowEvent::ToggleFullscreen:
        session.window.SetFullscreen(!session.window.fullscreen());
        session.renderer.HandleResize();
        break;
      case WindowEvent::Resized:
        session.renderer.HandleResize();
        break;
    }
  }
  return true;
}

void ComposeTitle(const TitleOverlay& title, double t, float aspect,
                  const FrameConstants& constants, std::vector<DrawVertex>& waves,
                  std::vector<DrawVertex>& overlay) {
  const int phase = title.Phase(t);
  if (phase == 0) return;
  std::vector<TitlePoint> points = title.Geometry(t, aspect);
  if (points.empty()) return;
  float r = constants.wave_r;
  float g = constants.wave_g;
  float b = constants.wave_b;
  if (t < kIntroSeconds) {
    for (TitlePoint& p : points) p.y += kIntroRaise;
    // The card's own alpha: every stroke's first point is invisible by construction.
    const std::vector<TitlePoint> mark = BrandMark(kMarkY, kMarkSize, title.Alpha(t), aspect);
    points.insert(points.begin(), mark.begin(), mark.end());
    r = kIntroR;
    g = kIntroG;
    b = kIntroB;
  }
  std::vector<DrawVertex>& out = phase == 1 ? overlay : waves;
  if (phase == 2 && !out.empty()) {
    // The waves and the title are one line strip: leave the wave through an invisible point.
    DrawVertex bridge = out.back();
    bridge.a = 0.0f;
    out.push_back(bridge);
  }
  r = std::min(r + kTitleLift, 1.0f);
  g = std::min(g + kTitleLift, 1.0f);
  b = std::min(b + kTitleLift, 1.0f);
  for (const TitlePoint& p : points) out.push_back({p.x, p.y, r, g, b, p.alpha});
}

FrameLoop::FrameLoop(Session& session, FrameClock& clock, const std::atomic<bool>& quit_requested)
    : session_(session), pacer_(clock, session.config.fps_cap), quit_requested_(quit_requested) {}

int FrameLoop::Run() {
  pacer_.Start();
  int status = 0;
  while (Frame(status)) {
  }
  session_.Shutdown();
  return status;
}

bool FrameLoop::Frame(int& status) {
  Session& s = session_;
  const double t = pacer_.BeginFrame();
  if (!HandleEvents(s, s.window.Poll()) || quit_requested_.load()) {
    status = 0;
    return false;
  }
  if (s.capture.gave_up()) {
    std::fprintf(stderr,
                 "halvex-vis: no audio after repeated attempts; exiting for the service manager to "
                 "restart\n");
    status = 1;
    return false;
  }
  const AudioFeatures features = s.analyzer.Analyse(s.ring);
  int width = 0;
  int height = 0;
  s.window.DrawableSize(width, height);
  const float aspect = height > 0 ? static_cast<float>(width) / static_cast<float>(height) : 1.0f;
  s.visualizer.Advance(features, t, aspect);

  const std::string title = s.now_playing.Current();
  if (!title.empty() && title != last_logged_) {
    last_logged_ = title;
    std::fprintf(stderr, "halvex-vis: now playing: %s\n", title.c_str());
  }
  if (t >= kIntroSeconds) s.overlay.Announce(title, t);

  const FrameConstants constants = s.visualizer.Constants();
  waves_.assign(s.visualizer.waves().begin(), s.visualizer.waves().end());
  overlay_.clear();
  ComposeTitle(s.overlay, t, aspect, constants, waves_, overlay_);
  s.renderer.RenderFrame(s.visualizer.mesh(), s.visualizer.columns(), s.visualizer.rows(), waves_,
                         overlay_, constants, s.visualizer.additive_waves(),
                         &s.visualizer.custom_draws());
  // Drawing into a lost device fails every frame from now on: exit so the service manager
  // restarts the program.
  if (s.renderer.lost()) {
    std::fprintf(stderr, "halvex-vis: %s\n", s.renderer.lost_reason().c_str());
    status = 1;
    return false;
  }
  pacer_.EndFrame();
  return true;
}

int Run(int argc, char** argv) {
  VisOptions options;
  std::string message;
  if (!ParseVisArguments(std::vector<std::string>(argv, argv + argc), options, message)) {
    std::fputs(message.c_str(), stderr);
    return 1;
  }
  if (options.version) {
    std::fputs(VersionLine("halvex-vis").c_str(), stdout);
    return 0;
  }
  PreferOneSoftwareRasteriserThread();  // before any thread starts
  InstallStopSignals();
  Session session;
  if (!StartSession(session, options)) {
    session.Shutdown();
    return 1;
  }
  FrameLoop loop(session, SteadyFrameClock(), g_stop_requested);
  return loop.Run();
}

}  // namespace halvex::vis
