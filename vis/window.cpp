#include "vis/window.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_vulkan.h>

namespace halvex::vis {

namespace {

bool IsEnter(SDL_Keycode key) { return key == SDLK_RETURN || key == SDLK_KP_ENTER; }

// The program's event for one SDL event, or 0 for an event it ignores.
uint32_t Translate(const SDL_Event& event) {
  if (event.type == SDL_QUIT) return static_cast<uint32_t>(WindowEvent::Quit);
  if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
    return static_cast<uint32_t>(WindowEvent::Resized);
  }
  if (event.type != SDL_KEYDOWN) return 0;
  const SDL_Keycode key = event.key.keysym.sym;
  if (key == SDLK_ESCAPE) return static_cast<uint32_t>(WindowEvent::Quit);
  if (key == SDLK_n || key == SDLK_SPACE) return static_cast<uint32_t>(WindowEvent::NextPreset);
  if (key == SDLK_p) return static_cast<uint32_t>(WindowEvent::PreviousPreset);
  if (key == SDLK_l) return static_cast<uint32_t>(WindowEvent::ToggleLock);
  if (key == SDLK_f || (IsEnter(key) && (event.key.keysym.mod & KMOD_ALT) != 0)) {
    return static_cast<uint32_t>(WindowEvent::ToggleFullscreen);
  }
  return 0;
}

}  // namespace

VisWindow::~VisWindow() { Close(); }

bool VisWindow::Open(const std::string& title, int width, int height, bool fullscreen,
                     std::string& error) {
  Close();
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    error = std::string("SDL_Init: ") + SDL_GetError();
    return false;
  }
  sdl_started_ = true;
  Uint32 flags = SDL_WINDOW_VULKAN | SDL_WINDOW_RESIZABLE;
  if (fullscreen) flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
  handle_ = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width,
                             height, flags);
  if (handle_ == nullptr) {
    error = std::string("SDL_CreateWindow: ") + SDL_GetError();
    return false;
  }
  fullscreen_ = fullscreen;
  return true;
}

std::vector<WindowEvent> VisWindow::Poll() {
  std::vector<WindowEvent> events;
  SDL_Event event;
  while (SDL_PollEvent(&event) != 0) {
    if (const uint32_t code = Translate(event); code != 0) {
      events.push_back(static_cast<WindowEvent>(code));
    }
  }
  return events;
}

void VisWindow::SetFullscreen(bool on) {
  if (handle_ == nullptr) return;
  SDL_SetWindowFullscreen(handle_, on ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0);
  fullscreen_ = on;
}

std::vector<const char*> VisWindow::RequiredInstanceExtensions() const {
  if (handle_ == nullptr) return {};  // SDL does not return without an initialised video system
  unsigned count = 0;
  if (SDL_Vulkan_GetInstanceExtensions(handle_, &count, nullptr) == SDL_FALSE) return {};
  std::vector<const char*> names(count);
  if (SDL_Vulkan_GetInstanceExtensions(handle_, &count, names.data()) == SDL_FALSE) return {};
  names.resize(count);
  return names;
}

bool VisWindow::CreateSurface(VkInstance instance, VkSurfaceKHR& surface) const {
  return handle_ != nullptr && SDL_Vulkan_CreateSurface(handle_, instance, &surface) == SDL_TRUE;
}

void VisWindow::DrawableSize(int& width, int& height) const {
  width = 0;
  height = 0;
  if (handle_ != nullptr) SDL_Vulkan_GetDrawableSize(handle_, &width, &height);
}

void VisWindow::Close() {
  if (handle_ != nullptr) {
    SDL_DestroyWindow(handle_);
    handle_ = nullptr;
  }
  if (sdl_started_) {
    SDL_Quit();
    sdl_started_ = false;
  }
}

}  // namespace halvex::vis
