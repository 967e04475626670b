// One private Xvfb display for the whole test program, with Vulkan limited to lavapipe and the
// validation layer on (HALVEX_VIS_VALIDATE). Set up before the first test, torn down after.
#pragma once

#include <string>

namespace halvex::test {

// DISPLAY of the private server, e.g. ":42".
const std::string& TestDisplay();
// A PNG of the whole screen at `png_path` and its pixels as RGB8 rows; false on failure.
bool ScreenshotRgb(const std::string& png_path, std::string& rgb, int& width, int& height);
// Where screenshots and captured frames go (a build directory, not the source tree).
std::string ArtefactPath(const std::string& name);

}  // namespace halvex::test
