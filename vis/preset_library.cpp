#include "vis/preset_library.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace halvex::vis {

std::vector<PresetEntry> ScanPresetDir(const std::string& directory) {
  std::vector<PresetEntry> library;
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return library;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::filesystem::path& path = it->path();
    std::error_code type_error;
    if (!std::filesystem::is_regular_file(path, type_error)) continue;  // follows links
    if (path.extension() != ".milk") continue;
    library.push_back(PresetEntry{path.string(), path.stem().string()});
  }
  std::sort(library.begin(), library.end(),
            [](const PresetEntry& a, const PresetEntry& b) { return a.name < b.name; });
  return library;
}

std::vector<std::string> InstalledPresetDirs() {
  std::vector<std::string> dirs;
  const char* env = std::getenv("XDG_DATA_DIRS");
  const std::string list = env != nullptr && *env != '\0' ? env : "/usr/local/share:/usr/share";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) dirs.push_back(list.substr(start, end - start) + "/halvex/presets");
    start = end + 1;
  }
#ifdef HALVEX_INSTALL_DATADIR
  const std::string installed = std::string(HALVEX_INSTALL_DATADIR) + "/halvex/presets";
  if (std::find(dirs.begin(), dirs.end(), installed) == dirs.end()) dirs.push_back(installed);
#endif
  return dirs;
}

std::string ReadPresetFile(const std::string& path) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxPresetBytes) return "";
  std::ifstream in(path, std::ios::binary);
  // Never more than the limit, even if the file grew since it was measured.
  std::string text(kMaxPresetBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return text;
}

Preset BuiltInPreset() {
  Preset preset;
  preset.name = "built-in";
  preset.per_frame =
      "zoom = 1.01 + 0.02*bass_att; rot = 0.008*sin(time*0.3); warp = 0.6;decay = 0.96; "
      "wave_r = 0.5 + 0.5*sin(time*0.5);wave_g = 0.5 + 0.5*sin(time*0.37 + 2); "
      "wave_b = 0.5 + 0.5*sin(time*0.23 + 4);";
  preset.per_pixel = "zoom = zoom + 0.03*rad*bass;";
  return preset;
}

}  // namespace halvex::vis
