// The preset library: the ".milk" files of a folder in name order, the installed folders to
// fall back on, reading one preset's text, and the preset shown when none loads.
#pragma once

#include <string>
#include <vector>

#include "vis/preset.h"

namespace halvex::vis {

struct PresetEntry {
  std::string path;
  std::string name;  // file name without its extension
};

// Every regular file (links followed) of `directory` whose extension is exactly ".milk",
// sorted byte-wise by name; empty when the folder is missing or unreadable.
std::vector<PresetEntry> ScanPresetDir(const std::string& directory);

// The halvex/presets folders of XDG_DATA_DIRS (default /usr/local/share:/usr/share), then the
// install prefix's.
std::vector<std::string> InstalledPresetDirs();

// The file's bytes, or "" when it cannot be read or holds more than kMaxPresetBytes.
std::string ReadPresetFile(const std::string& path);

// The preset shown when no library preset loads.
Preset BuiltInPreset();

}  // namespace halvex::vis
