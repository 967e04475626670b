// Shows finished frames of a software (CPU) Vulkan device in an X11 window through MIT-SHM:
// the frame is copied into shared memory the X server reads from, instead of going through the
// window-system present of the driver, which waits for each frame to finish and then sends it
// through the X socket while the device's one queue stays held, so that the next frame cannot
// start meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>

struct SDL_Window;
struct xcb_connection_t;

namespace halvex::vis {

class ShmPresenter {
 public:
  // One shared segment per frame in flight: a frame is copied into one while the X server may
  // still read the other.
  static constexpr uint32_t kSegments = 2;

  ShmPresenter() = default;
  ~ShmPresenter();
  ShmPresenter(const ShmPresenter&) = delete;
  ShmPresenter& operator=(const ShmPresenter&) = delete;

  // Connects to the window's X server; false, holding nothing, for a window that is not an X11
  // one or a server that cannot share memory with us or show 32-bit BGRX pixels.
  bool Open(SDL_Window* window);
  bool open() const { return connection_ != nullptr; }
  // Segments for width × height pixels (nothing for a zero size); false when the server did
  // not attach them.
  bool Resize(uint32_t width, uint32_t height);
  // Where segment `segment`'s pixels go: rows of width × 4 bytes, B, G, R, unused. Null while
  // there are no segments.
  uint8_t* Pixels(uint32_t segment) const;
  // Puts the segment's picture at the window's top-left corner and waits until the server has
  // read it. False when the window is gone.
  bool Show(uint32_t segment);
  void Close();

 private:
  bool Describe();
  void FreeSegments();

  xcb_connection_t* connection_ = nullptr;
  uint32_t window_ = 0;
  uint32_t gc_ = 0;
  uint8_t depth_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t segments_[kSegments] = {};
  uint8_t* pixels_[kSegments] = {};
};

}  // namespace halvex::vis
