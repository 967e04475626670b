// The tray's view of the running engine: one control-socket exchange per call.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/ipc/control_replies.h"
#include "core/ipc/preset_replies.h"

namespace halvex {

class EngineRemote {
 public:
  virtual ~EngineRemote() = default;
  // True when a usable status arrived; an unreachable daemon leaves `status.reachable` false.
  virtual bool Fetch(EngineStatus& status) = 0;
  virtual bool SetEnabled(bool on, std::string& error) = 0;
  virtual bool SetParam(const std::string& key, const std::string& value, std::string& error) = 0;
  virtual bool Reload(std::string& error) = 0;
  // Empty when the daemon is not running.
  virtual std::vector<AudioDevice> Devices() = 0;
  // Presets, bindings and the active device; `state.known` stays false unless all replies came.
  virtual void FetchPresets(PresetState& state) = 0;
  // Sends "preset " + `args` ("load NAME", "bind DEVICE NAME" ...); false with the reason.
  virtual bool PresetCommand(const std::string& args, std::string& error) = 0;
};

// Talks to the daemon at `socket_path`. A daemon that lets an exchange time out is not asked
// again for a few seconds, so a hung daemon stalls the caller's loop once, not on every call.
std::unique_ptr<EngineRemote> MakeRemoteEngine(std::string socket_path);

}  // namespace halvex
