// One private Xvfb display for the whole test program, with Vulkan limited to lavapipe and the
// validation layer on (HALVEX_VIS_VALIDATE). Set up before the first test, torn down after.
#pragma once

#include <string>

struct SDL_Window;

namespace halvex::test {

// DISPLAY of the private server, e.g. ":42".
const std::string& TestDisplay();
// A PNG of the whole screen at `png_path`.
bool Screenshot(const std::string& png_path);
// The same, and its pixels as RGB8 rows; false on failure.
bool ScreenshotRgb(const std::string& png_path, std::string& rgb, int& width, int& height);
// Destroys an X window behind its owner's back, over a connection of our own.
bool DestroyXWindowOf(SDL_Window* window);
// From now on X errors are ignored, also by SDL when it is started after this (SDL hands
// errors on to the handler it found): for windows destroyed behind SDL's back.
void IgnoreXErrors();
// Where screenshots and captured frames go (a build directory, not the source tree).
std::string ArtefactPath(const std::string& name);

}  // namespace halvex::test
