#include "vis/window.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/vis/render/display.h"

namespace halvex::vis {
namespace {

SDL_Event Key(SDL_Keycode key, Uint16 mod = KMOD_NONE, Uint8 repeat = 0) {
  SDL_Event event{};
  event.type = SDL_KEYDOWN;
  event.key.state = SDL_PRESSED;
  event.key.repeat = repeat;
  event.key.keysym.sym = key;
  event.key.keysym.mod = mod;
  return event;
}

SDL_Event KeyUp(SDL_Keycode key) {
  SDL_Event event = Key(key);
  event.type = SDL_KEYUP;
  event.key.state = SDL_RELEASED;
  return event;
}

SDL_Event Plain(Uint32 type) {
  SDL_Event event{};
  event.type = type;
  return event;
}

SDL_Event WindowChange(Uint8 what) {
  SDL_Event event{};
  event.type = SDL_WINDOWEVENT;
  event.window.event = what;
  return event;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(window.Open("window test", 1280, 720, false, error)) << error;
    window.Poll();  // the window manager's own events
  }

  std::vector<WindowEvent> Deliver(std::vector<SDL_Event> events) {
    for (SDL_Event& e : events) SDL_PushEvent(&e);
    return window.Poll();
  }

  VisWindow window;
};

using E = WindowEvent;

TEST_F(WindowTest, TurnsKeysAndWindowEventsIntoTheProgramsEvents) {
  struct Case {
    const char* what;
    std::vector<SDL_Event> events;
    std::vector<WindowEvent> expected;
  };
  const Case cases[] = {
      {"alt+enter twice", {Key(SDLK_RETURN, KMOD_LALT), Key(SDLK_RETURN, KMOD_RALT)},
       {E::ToggleFullscreen, E::ToggleFullscreen}},
      {"keypad enter with alt", {Key(SDLK_KP_ENTER, KMOD_LALT)}, {E::ToggleFullscreen}},
      {"F alone, Return alone", {Key(SDLK_f), Key(SDLK_RETURN)}, {E::ToggleFullscreen}},
      {"quit then N", {Plain(SDL_QUIT), Key(SDLK_n)}, {E::Quit, E::NextPreset}},
      {"escape", {Key(SDLK_ESCAPE)}, {E::Quit}},
      {"space, N held (repeat), P, L", {Key(SDLK_SPACE), Key(SDLK_n, KMOD_NONE, 1), Key(SDLK_p), Key(SDLK_l)},
       {E::NextPreset, E::NextPreset, E::PreviousPreset, E::ToggleLock}},
      {"key releases and other keys", {KeyUp(SDLK_n), KeyUp(SDLK_ESCAPE), Key(SDLK_q)}, {}},
      {"size changed only", {WindowChange(SDL_WINDOWEVENT_SIZE_CHANGED),
                             WindowChange(SDL_WINDOWEVENT_MOVED)}, {E::Resized}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Deliver(c.events), c.expected) << c.what;
  }
}

TEST_F(WindowTest, GivesVulkanWhatItNeeds) {
  int width = 0;
  int height = 0;
  window.DrawableSize(width, height);
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(height, 720);
  const std::vector<const char*> extensions = window.RequiredInstanceExtensions();
  EXPECT_TRUE(std::any_of(extensions.begin(), extensions.end(), [](const char* name) {
    return std::strcmp(name, "VK_KHR_surface") == 0;
  }));
}

TEST_F(WindowTest, FullscreenFollowsTheRequest) {
  window.SetFullscreen(true);
  EXPECT_TRUE(window.fullscreen());
  window.SetFullscreen(false);
  EXPECT_FALSE(window.fullscreen());
}

TEST(WindowClosed, IgnoresFullscreenAndHasNoDrawable) {
  VisWindow window;
  window.SetFullscreen(true);
  EXPECT_FALSE(window.fullscreen());
  int width = -1;
  int height = -1;
  window.DrawableSize(width, height);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
  VkSurfaceKHR surface = VK_NULL_HANDLE;
  EXPECT_FALSE(window.CreateSurface(VK_NULL_HANDLE, surface));
}

}  // namespace
}  // namespace halvex::vis
