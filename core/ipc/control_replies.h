// The control protocol's replies about the engine (status, latency, devices): how the daemon
// writes each one and how its clients read it back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/ipc/engine_facts.h"

namespace halvex {

// A client need not read more of a reply than a command line may hold, so list replies are kept
// within it and reach every client whole.
inline constexpr std::size_t kMaxReplyBytes = 4096;

// The remote engine as the last status line described it.
struct EngineStatus {
  bool reachable = false;  // a status line starting with "OK" arrived
  bool enabled = false;    // the daemon's processing switch
  ProcessorConfig config = DefaultConfig();
  EngineLatency latency;   // all zero until a latency reply arrived
};

// "OK enabled=1" or "=0", then " key=value" for every settable key, in table order, whose text
// the accessor table can produce.
std::string FormatStatusLine(bool enabled, const ProcessorConfig& config);
// Rebuilds `status` from a status reply; false (and reachable false) unless the first word is "OK".
// Pairs the accessor table rejects keep their defaults.
bool ParseStatusLine(const std::string& line, EngineStatus& status);

// "OK latency engine=N quantum=N rate=N".
std::string FormatLatencyLine(const EngineLatency& latency);
// Fills `latency` from a latency reply; false, with `latency` untouched, for any other line (a
// daemon that does not know the command answers "ERR ...").
bool ParseLatencyLine(const std::string& line, EngineLatency& latency);

// "OK devices", then for each device a tab and NAME|DESCRIPTION|PRIORITY|ACTIVE (1 for the device
// named `active`). Names go out unchanged, so the caller passes only names that cannot break the
// line; in descriptions "|" and control bytes become spaces. Past kMaxReplyBytes whole entries
// are left out, never the active one.
std::string FormatDeviceList(const std::vector<AudioDevice>& devices, const std::string& active);
// Name, description and priority of every well-formed entry of a devices reply; empty for any
// reply that is not one.
std::vector<AudioDevice> ParseDeviceList(const std::string& line);
// The entry of a devices reply flagged active; an empty name when there is none.
AudioDevice ParseActiveDevice(const std::string& line);

// `text` split at every `separator`; empty pieces count. Shared by the list replies' readers.
std::vector<std::string> SplitAt(const std::string& text, char separator);

}  // namespace halvex
