// Who makes Halvex and where its project page is, for the window's footer and the About item.
#pragma once

namespace halvex {

constexpr const char* kProductName = "Halvex";
constexpr const char* kMakerName = "the Halvex developers";
constexpr const char* kProjectPage = "file:///usr/share/doc/halvex/README.md";

}  // namespace halvex
