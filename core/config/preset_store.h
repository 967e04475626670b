// Named snapshots of the engine settings, one JSON file each in a presets folder.
#pragma once

#include <string>
#include <vector>

#include "core/config/config_defaults.h"

namespace halvex {

// The settable keys a preset holds: all but the output device, which belongs to the machine.
std::vector<std::string> PresetKeys();

// The file text of a preset: `config`'s preset keys in the configuration file's form.
std::string PresetToJson(const ProcessorConfig& config);

// `base` with the preset keys present in `text` laid over it, parsed and validated as the
// configuration file is. On failure `out` is untouched and `error` holds one message.
bool ApplyPresetJson(const std::string& text, const ProcessorConfig& base, ProcessorConfig& out,
                     std::string& error);

// Names are checked by the caller (IsValidPresetName); the store only builds paths from them.
class PresetStore {
 public:
  explicit PresetStore(std::string folder);

  // Valid names of the stored presets, in byte order; empty when the folder is missing.
  std::vector<std::string> List() const;
  bool Exists(const std::string& name) const;
  bool Save(const std::string& name, const ProcessorConfig& config, std::string& error);
  // Reads the preset and lays it over `base`; errors name neither the preset nor the path.
  bool Load(const std::string& name, const ProcessorConfig& base, ProcessorConfig& out,
            std::string& error) const;
  bool Remove(const std::string& name, std::string& error);

  const std::string& Folder() const { return folder_; }

 private:
  std::string PathOf(const std::string& name) const;

  std::string folder_;
};

// The presets folder that belongs with the configuration file at `config_path`.
std::string PresetFolderFor(const std::string& config_path);

// The configuration path that presets and bindings are kept beside: `config_path` when the user
// named the file, else the default file under `xdg_config_home` when that is an absolute path.
std::string PresetAnchor(const std::string& config_path, bool named_by_user,
                         const char* xdg_config_home);

}  // namespace halvex
