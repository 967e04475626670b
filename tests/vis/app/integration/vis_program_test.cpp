// halvex-vis end to end: against a running halvexd on a private PipeWire graph with audio
// playing, under Xvfb with lavapipe (validation layers on), with a media player on the bus.
// Screenshots stay in the build tree (tests/vis/app/artefacts).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/daemon/integration/daemon_harness.h"
#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

constexpr const char* kArtefacts = HALVEX_BINARY_DIR "/tests/vis/app/artefacts";
constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;
// SDL centres the 1280 x 720 window on the screen; clip y maps to row kWindowTop + (y + 1) * 360.
constexpr int kWindowTop = 40;

std::string VisPath() { return HALVEX_BINARY_DIR "/vis/halvex-vis"; }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Rgb {
  int r, g, b;
};

class VisProgram : public SpeakersGraphSuite {
 protected:
  static void SetUpTestSuite() {
    SpeakersGraphSuite::SetUpTestSuite();
    std::string error;
    ASSERT_TRUE(graph_->StartDisplay(error)) << error;
    graph_->AddEnvironment("VK_ICD_FILENAMES=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json");
    std::filesystem::create_directories(kArtefacts);
  }

  void SetUp() override {
    ASSERT_TRUE(graph_) << "no private graph";
    const std::string home = graph_->home();
    presets_ = home + "/presets";
    std::filesystem::create_directories(presets_);
    // Two presets of ours: rings that zoom with the bass, and an additive spiral.
    WriteText(presets_ + "/bright.milk",
              "fDecay=0.96\nnWaveMode=0\nwave_r=1\nwave_g=0.9\nwave_b=0.3\n"
              "per_frame_1=zoom = 1.02 + 0.03*bass;\nper_frame_2=wave_g = 0.6 + 0.3*sin(time);\n");
    WriteText(presets_ + "/spiral.milk",
              "fDecay=0.93\nnWaveMode=4\nbAdditiveWaves=1\nwave_r=0.3\nwave_g=0.8\nwave_b=1\n"
              "per_frame_1=rot = 0.02*sin(time);\nper_pixel_1=zoom = zoom + 0.02*rad;\n");
    config_ = home + "/vis.json";
    WriteText(config_, "{\"preset_dir\": \"" + presets_ + "\", \"fps_cap\": 30, \"mesh_x\": 8}");
    log_ = home + "/halvex-vis.log";
  }

  void TearDown() override {
    for (const pid_t pid : pids_) graph_->Kill(pid, 1000);
    pids_.clear();
  }

  pid_t Spawn(const std::vector<std::string>& argv, const std::string& err = "") {
    const pid_t pid = graph_->Spawn(argv, "", err);
    pids_.push_back(pid);
    return pid;
  }

  // Stops tracking a process that the test has ended itself.
  void Forget(pid_t pid) { std::erase(pids_, pid); }

  pid_t StartVis(const std::vector<std::string>& extra_env = {}) {
    std::filesystem::remove(log_);
    std::vector<std::string> argv = {"env", "HALVEX_VIS_VALIDATE=1"};
    argv.insert(argv.end(), extra_env.begin(), extra_env.end());
    argv.insert(argv.end(), {VisPath(), "--config", config_});
    return Spawn(argv, log_);
  }

  bool LogShows(const std::string& text, int timeout_ms) {
    return PrivateGraph::WaitUntil([&] { return Slurp(log_).find(text) != std::string::npos; },
                                   timeout_ms, 20);
  }

  // The screen as packed RGB rows; empty on failure. Keeps the PNG as an artefact.
  static std::string Screen(const std::string& name) {
    const std::string png = std::string(kArtefacts) + "/" + name + ".png";
    if (!graph_->Screenshot(png)) return "";
    const CommandResult raw = graph_->Run({"convert", png, "rgb:-"});
    return raw.out.size() == size_t{kScreenWidth} * kScreenHeight * 3 ? raw.out : "";
  }

  // Pixels within 8 of `colour` in rows [top, bottom).
  static int CountNear(const std::string& rgb, Rgb colour, int top, int bottom) {
    int count = 0;
    for (int y = top; y < bottom; ++y) {
      for (int x = 0; x < kScreenWidth; ++x) {
        const auto* p =
            reinterpret_cast<const unsigned char*>(&rgb[(size_t{1} * y * kScreenWidth + x) * 3]);
        if (std::abs(p[0] - colour.r) <= 8 && std::abs(p[1] - colour.g) <= 8 &&
            std::abs(p[2] - colour.b) <= 8) {
          ++count;
        }
      }
    }
    return count;
  }

  static int CountBrighterThan(const std::string& rgb, int level) {
    int count = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
      if (static_cast<unsigned char>(rgb[i]) + static_cast<unsigned char>(rgb[i + 1]) +
              static_cast<unsigned char>(rgb[i + 2]) >
          3 * level) {
        ++count;
      }
    }
    return count;
  }

  std::string presets_;
  std::string config_;
  std::string log_;
  std::vector<pid_t> pids_;
};

TEST_F(VisProgram, DrawsTheDaemonsOutputShowsCardAndTitleAndQuitsOnTerm) {
  const pid_t daemon = graph_->StartDaemon();
  ASSERT_GT(daemon, 0) << Slurp(graph_->DaemonLog());
  pids_.push_back(daemon);
  const std::string wav = graph_->home() + "/music.wav";
  ASSERT_EQ(graph_
                ->Run({"sox", "-n", "-r", "48000", "-c", "2", wav, "synth", "60", "sine", "110",
                       "sine", "660", "tremolo", "2", "90"})
                .status,
            0);
  Spawn({"pw-play", "--target", "halvex", wav});
  Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", "org.mpris.MediaPlayer2.testplayer",
         "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player"});
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] {
        return graph_
                   ->Run({"gdbus", "call", "--session", "-d", "org.mpris.MediaPlayer2.testplayer",
                          "-o", "/org/mpris/MediaPlayer2", "-m",
                          "org.freedesktop.DBus.Mock.AddProperties",
                          "org.mpris.MediaPlayer2.Player",
                          "{'PlaybackStatus': <'Playing'>, 'Metadata': <{'xesam:title': "
                          "<'Test Song'>, 'xesam:artist': <['Test Artist']>}>}"})
                   .status == 0;
      },
      10000, 200));

  const pid_t vis = StartVis();
  ASSERT_TRUE(LogShows("halvex-vis: rendering on ", 30000)) << Slurp(log_);
  const int64_t loop_start_ms = NowMs();  // the frame loop starts after this line

  // The opening card in its first two seconds: drawn over the picture in the product colour,
  // with the mark above it.
  std::string intro;
  int title_pixels = 0;
  int mark_pixels = 0;
  const Rgb card{229, 118, 196};
  for (int shot = 0; shot < 6 && NowMs() - loop_start_ms < 2000; ++shot) {
    const int64_t taken = NowMs();
    intro = Screen("intro-" + std::to_string(shot));
    // The card raised to y 0.16 (row 458), the mark at y -0.22 (row 321).
    title_pixels = CountNear(intro, card, kWindowTop + 370, kWindowTop + 470);
    mark_pixels = CountNear(intro, card, kWindowTop + 230, kWindowTop + 345);
    if (title_pixels > 300 && mark_pixels > 60) {
      EXPECT_LT(taken - loop_start_ms, 2000);
      break;
    }
  }
  EXPECT_GT(title_pixels, 300) << "see " << kArtefacts;
  EXPECT_GT(mark_pixels, 60) << "see " << kArtefacts;
  EXPECT_EQ(CountNear(intro, card, 0, kWindowTop + 200) +
                CountNear(intro, card, kWindowTop + 500, kScreenHeight),
            0);

  EXPECT_TRUE(LogShows("halvex-vis: now playing: Test Artist ~ Test Song\n", 10000)) << Slurp(log_);
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return !graph_->LinksBetween("halvex_dsp", "halvex-vis").empty(); }, 10000));
  // Past the intro the track's card is drawn into the waves and the preset moves them.
  std::this_thread::sleep_for(
      std::chrono::milliseconds(std::max<int64_t>(0, loop_start_ms + 7500 - NowMs())));
  const std::string later = Screen("playing");
  EXPECT_GT(CountBrighterThan(later, 60), 2000) << "see " << kArtefacts;
  EXPECT_TRUE(graph_->IsRunning(vis));

  ::kill(vis, SIGTERM);
  EXPECT_EQ(graph_->Wait(vis, 10000), 0) << Slurp(log_);
  Forget(vis);
  const std::string log = Slurp(log_);
  EXPECT_NE(log.find("halvex-vis: 2 presets in " + presets_ + "; showing \"bright\"\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("halvex-vis: rendering on llvmpipe"), std::string::npos) << log;
  EXPECT_EQ(log.find("halvex-vis: vulkan:"), std::string::npos) << log;
  EXPECT_EQ(log.find("no audio"), std::string::npos) << log;
}

TEST_F(VisProgram, CtrlCAndEscapeQuitWithStatusZero) {
  const pid_t daemon = graph_->StartDaemon();
  ASSERT_GT(daemon, 0);
  pids_.push_back(daemon);
  struct Case {
    const char* name;
    bool key;  // Escape pressed in the window, else SIGINT
  };
  for (const Case& c : {Case{"SIGINT", false}, Case{"Escape", true}}) {
    const pid_t vis = StartVis();
    ASSERT_TRUE(LogShows("halvex-vis: rendering on ", 30000)) << Slurp(log_);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    if (c.key) {
      // No window manager: the window sits at 0,0 and gets the keys under the pointer.
      EXPECT_EQ(graph_->Run({"xdotool", "mousemove", "400", "300", "key", "Escape"}).status, 0);
    } else {
      ::kill(vis, SIGINT);
    }
    EXPECT_EQ(graph_->Wait(vis, 10000), 0) << c.name << "\n" << Slurp(log_);
    Forget(vis);
    EXPECT_EQ(Slurp(log_).find("halvex-vis: vulkan:"), std::string::npos) << Slurp(log_);
  }
}

TEST_F(VisProgram, WithoutTheDspNodeItRetriesThenGivesUpWithStatusOne) {
  // No daemon in the graph. Each attempt and wait shortened to 150 ms: ten attempts in seconds.
  const pid_t vis = StartVis({"HALVEX_VIS_RETRY_MS=150"});
  EXPECT_EQ(graph_->Wait(vis, 30000), 1) << Slurp(log_);
  Forget(vis);
  const std::string log = Slurp(log_);
  EXPECT_NE(log.find("halvex-vis: no audio after repeated attempts; exiting for the service "
                     "manager to restart\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("halvex-vis: vulkan:"), std::string::npos) << log;
}

TEST_F(VisProgram, AWindowThatCannotOpenEndsItWithStatusOneAfterTheConfigNotes) {
  WriteText(config_, "{\"fps_cap\": 1000, \"preset_dir\": \"" + presets_ + "\"}");
  const CommandResult no_display =
      graph_->Run({"env", "-u", "DISPLAY", VisPath(), "--config", config_}, 20000);
  EXPECT_EQ(no_display.status, 1);
  EXPECT_TRUE(HasLineStarting(no_display.err, "halvex-vis: fps_cap clamped to range; "))
      << no_display.err;
  EXPECT_TRUE(HasLineStarting(no_display.err, "halvex-vis: SDL_")) << no_display.err;
}

}  // namespace
}  // namespace halvex::test
