#include "tests/vis/render/display.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

// After gtest: Xlib defines macros (None, Bool) that its headers use as names.
#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>

namespace halvex::test {

namespace {

std::string g_display;

class DisplayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/halvex-vis-render-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    runtime_dir_ = dir;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      // -displayfd picks a free display number and writes it once clients are accepted.
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // no display outlives a crashed or killed test
      dup2(pipe_fds[1], 3);
      const std::string log = runtime_dir_ + "/xvfb.log";
      freopen(log.c_str(), "w", stderr);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x800x24", "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipe_fds[1]);
    std::string number;
    char c = 0;
    while (read(pipe_fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(pipe_fds[0]);
    ASSERT_FALSE(number.empty()) << "Xvfb did not start";
    g_display = ":" + number;
    setenv("DISPLAY", g_display.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    setenv("VK_ICD_FILENAMES", "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json", 1);
    setenv("HALVEX_VIS_VALIDATE", "0", 1);  // any value turns validation on, 0 too
    // Hazards between frames in flight, and within one, are reported like any other error.
    setenv("VK_LAYER_ENABLES", "VK_VALIDATION_FEATURE_ENABLE_SYNCHRONIZATION_VALIDATION_EXT", 0);
    unsetenv("HALVEX_VIS_GPU");
    std::filesystem::create_directories(HALVEX_ARTEFACT_DIR);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!runtime_dir_.empty()) std::filesystem::remove_all(runtime_dir_, ignored);
  }

 private:
  pid_t pid_ = -1;
  std::string runtime_dir_;
};

const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new DisplayEnvironment);

}  // namespace

const std::string& TestDisplay() { return g_display; }

bool DestroyXWindowOf(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) {
    return false;
  }
  Display* other = XOpenDisplay(g_display.c_str());
  if (other == nullptr) return false;
  XDestroyWindow(other, info.info.x11.window);
  XSync(other, False);
  XCloseDisplay(other);
  return true;
}

void IgnoreXErrors() {
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

std::string ArtefactPath(const std::string& name) {
  return std::string(HALVEX_ARTEFACT_DIR) + "/" + name;
}

bool Screenshot(const std::string& png_path) {
  return std::system(("import -display " + g_display + " -window root " + png_path).c_str()) == 0;
}

bool ScreenshotRgb(const std::string& png_path, std::string& rgb, int& width, int& height) {
  const std::string raw = png_path + ".rgb";
  const std::string base = "import -display " + g_display + " -window root ";
  if (std::system((base + png_path).c_str()) != 0) return false;
  if (std::system((base + "-depth 8 rgb:" + raw).c_str()) != 0) return false;
  std::ifstream in(raw, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  rgb = bytes.str();
  width = 1280;  // the screen's size, fixed above
  height = 800;
  return rgb.size() == static_cast<std::size_t>(width) * height * 3;
}

}  // namespace halvex::test
