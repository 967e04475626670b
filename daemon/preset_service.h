// The preset, binding and bypass commands, and the preset load that follows the output device.
#pragma once

#include <string>
#include <vector>

#include "core/config/device_bindings.h"
#include "core/config/json_config.h"
#include "core/config/preset_store.h"
#include "daemon/engine_control.h"

namespace halvex {

// Not locked: the control service serialises every call, device changes included.
class PresetService {
 public:
  PresetService(EngineControl& engine, ConfigProvider& provider, PresetStore store,
                std::string bindings_path);

  // Start-up: reads the bindings file. On false the bindings stay empty and `error` says why.
  bool LoadBindings(std::string& error);

  // `words` is the whole command split at blanks, starting with "preset" or "bypass".
  std::string HandlePreset(const std::vector<std::string>& words);
  std::string HandleBypass(const std::vector<std::string>& words);
  // "OK streams", then a tab and APP|processed or APP|bypassed per playback stream.
  std::string Streams() const;

  // Loads the preset bound to `device`, else the fallback. Empty when there is nothing to load,
  // else the reply line of the load ("OK ..." or "ERR ...").
  std::string OnActiveDevice(const std::string& device);

  const DeviceBindings& Bindings() const { return bindings_; }

 private:
  std::string Current() const;
  std::string List() const;
  std::string Save(const std::string& name);
  std::string Load(const std::string& name);
  std::string Delete(const std::string& name);
  std::string Bind(const std::string& device, const std::string& name);
  std::string Unbind(const std::string& device);
  std::string Fallback(const std::string& name);
  std::string ListBindings() const;
  // "" when `name` is a valid name of a stored preset, else the ERR reply.
  std::string CheckStored(const std::string& name) const;
  // Saves `next` as the bindings file and keeps it; "" or the ERR reply.
  std::string Commit(const DeviceBindings& next);
  void Remember(const std::string& name, const ProcessorConfig& config);

  EngineControl& engine_;
  ConfigProvider& provider_;
  PresetStore store_;
  std::string bindings_path_;
  DeviceBindings bindings_;
  // Why the bindings file did not load at start; while set, it is never written.
  std::string unreadable_;
  // The preset last loaded or saved and the settings it gave, to tell whether they still hold.
  std::string current_name_;
  std::string current_text_;
};

}  // namespace halvex
