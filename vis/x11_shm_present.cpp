#include "vis/x11_shm_present.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace halvex::vis {

namespace {

// The visual's pixels are 32-bit B, G, R, unused in memory: what a B8G8R8A8 image holds. Depth
// 24 only: in a window with alpha (depth 32) a compositor would show our alpha channel.
bool IsBgrx(const xcb_setup_t* setup, xcb_visualid_t visual, uint8_t depth) {
  if (depth != 24 || setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool bits32 = false;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f)) {
    if (f.data->depth == depth) bits32 = f.data->bits_per_pixel == 32;
  }
  if (!bits32) return false;
  for (auto s = xcb_setup_roots_iterator(setup); s.rem > 0; xcb_screen_next(&s)) {
    for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem > 0; xcb_depth_next(&d)) {
      for (auto v = xcb_depth_visuals_iterator(d.data); v.rem > 0; xcb_visualtype_next(&v)) {
        if (v.data->visual_id != visual) continue;
        return v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 &&
               v.data->blue_mask == 0xff;
      }
    }
  }
  return false;
}

}  // namespace

ShmPresenter::~ShmPresenter() { Close(); }

bool ShmPresenter::Open(SDL_Window* window) {
  Close();
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (window == nullptr || SDL_GetWindowWMInfo(window, &info) != SDL_TRUE ||
      info.subsystem != SDL_SYSWM_X11) {
    return false;
  }
  connection_ = xcb_connect(nullptr, nullptr);  // the server SDL opened: $DISPLAY
  window_ = static_cast<uint32_t>(info.info.x11.window);
  const bool usable = xcb_connection_has_error(connection_) == 0 && Describe() &&
                      Resize(1, 1);  // a remote or confined server cannot attach our memory
  FreeSegments();
  if (!usable) Close();
  return usable;
}

// The window's depth and pixel layout, and a graphics context for it; false when the server
// has no MIT-SHM or the window's pixels are not BGRX.
bool ShmPresenter::Describe() {
  xcb_connection_t* c = connection_;
  auto* shm = xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr);
  auto* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window_), nullptr);
  auto* attributes =
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window_), nullptr);
  bool usable = shm != nullptr && geometry != nullptr && attributes != nullptr &&
                IsBgrx(xcb_get_setup(c), attributes->visual, geometry->depth);
  if (usable) {
    depth_ = geometry->depth;
    gc_ = xcb_generate_id(c);
    xcb_generic_error_t* error =
        xcb_request_check(c, xcb_create_gc_checked(c, gc_, window_, 0, nullptr));
    if (error != nullptr) gc_ = 0;
    usable = error == nullptr;
    std::free(error);
  }
  std::free(attributes);
  std::free(geometry);
  std::free(shm);
  return usable;
}

bool ShmPresenter::Resize(uint32_t width, uint32_t height) {
  FreeSegments();
  if (connection_ == nullptr) return false;
  width_ = width;
  height_ = height;
  const std::size_t bytes = std::size_t{width} * height * 4;
  for (uint32_t i = 0; i < kSegments && bytes > 0; ++i) {
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) break;
    void* mapped = shmat(id, nullptr, 0);
    const xcb_shm_seg_t segment = xcb_generate_id(connection_);
    xcb_generic_error_t* error =
        mapped == reinterpret_cast<void*>(-1)
            ? nullptr
            : xcb_request_check(connection_,
                                xcb_shm_attach_checked(connection_, segment, id, 1));
    // Read-only for the server. Marked for removal now: the memory goes once both sides have
    // let go of it, even if we end without cleaning up.
    shmctl(id, IPC_RMID, nullptr);
    if (mapped == reinterpret_cast<void*>(-1)) break;
    if (error != nullptr) {
      std::free(error);
      shmdt(mapped);
      break;
    }
    segments_[i] = segment;
    pixels_[i] = static_cast<uint8_t*>(mapped);
  }
  if (bytes > 0 && pixels_[kSegments - 1] == nullptr) {
    FreeSegments();
    return false;
  }
  return true;
}

uint8_t* ShmPresenter::Pixels(uint32_t segment) const {
  return segment < kSegments ? pixels_[segment] : nullptr;
}

bool ShmPresenter::Show(uint32_t segment) {
  if (connection_ == nullptr || Pixels(segment) == nullptr) return false;
  const auto width = static_cast<uint16_t>(width_);
  const auto height = static_cast<uint16_t>(height_);
  xcb_generic_error_t* error = xcb_request_check(
      connection_,
      xcb_shm_put_image_checked(connection_, window_, gc_, width, height, 0, 0, width, height, 0,
                                0, depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segments_[segment], 0));
  const bool shown = error == nullptr && xcb_connection_has_error(connection_) == 0;
  std::free(error);
  return shown;
}

void ShmPresenter::FreeSegments() {
  for (uint32_t i = 0; i < kSegments; ++i) {
    if (segments_[i] != 0 && connection_ != nullptr) xcb_shm_detach(connection_, segments_[i]);
    if (pixels_[i] != nullptr) shmdt(pixels_[i]);
    segments_[i] = 0;
    pixels_[i] = nullptr;
  }
  if (connection_ != nullptr) xcb_flush(connection_);
  width_ = 0;
  height_ = 0;
}

void ShmPresenter::Close() {
  FreeSegments();
  if (connection_ != nullptr) {
    if (gc_ != 0) xcb_free_gc(connection_, gc_);
    xcb_disconnect(connection_);
  }
  connection_ = nullptr;
  gc_ = 0;
  window_ = 0;
}

}  // namespace halvex::vis
