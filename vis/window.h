// The visualizer's one SDL2 window: opened for Vulkan rendering, its events turned into the
// program's own small list, fullscreen switching, and what Vulkan needs from the window system.
#pragma once

#include <vulkan/vulkan.h>

#include <cstdint>
#include <string>
#include <vector>

struct SDL_Window;

namespace halvex::vis {

// In the order the events were polled.
enum class WindowEvent : uint32_t {
  Quit = 1,              // the quit event, or Escape
  NextPreset = 2,        // N or Space
  PreviousPreset = 3,    // P
  ToggleLock = 4,        // L
  ToggleFullscreen = 5,  // F, or Return / keypad Enter with either Alt held
  Resized = 6,           // the window's size changed
};

class VisWindow {
 public:
  VisWindow() = default;
  ~VisWindow();  // Close()
  VisWindow(const VisWindow&) = delete;
  VisWindow& operator=(const VisWindow&) = delete;

  // Initialises SDL video and creates a centred, resizable Vulkan window.
  bool Open(const std::string& title, int width, int height, bool fullscreen, std::string& error);
  // Drains SDL's event queue; keys count on key-down, auto-repeat included.
  std::vector<WindowEvent> Poll();
  // Fullscreen-desktop or windowed; nothing without a window.
  void SetFullscreen(bool on);
  void Close();

  std::vector<const char*> RequiredInstanceExtensions() const;
  bool CreateSurface(VkInstance instance, VkSurfaceKHR& surface) const;
  // Size in pixels of the Vulkan drawable; 0 × 0 without a window.
  void DrawableSize(int& width, int& height) const;

  SDL_Window* handle() const { return handle_; }
  // The state last requested.
  bool fullscreen() const { return fullscreen_; }

 private:
  SDL_Window* handle_ = nullptr;
  bool fullscreen_ = false;
  bool sdl_started_ = false;
};

}  // namespace halvex::vis
