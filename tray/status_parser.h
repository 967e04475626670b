// The daemon's status and devices reply lines turned back into data.
#pragma once

#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "daemon/engine_control.h"  // AudioDevice only: a plain record, nothing is linked

namespace halvex {

// The remote engine as the last status line described it.
struct EngineStatus {
  bool reachable = false;  // a status line starting with "OK" arrived
  bool enabled = false;    // the daemon's processing switch
  ProcessorConfig config = DefaultConfig();
  EngineLatency latency;   // all zero until a latency reply arrived
};

// Rebuilds `status` from a status reply; false (and reachable false) unless the first word is "OK".
// Pairs the accessor table rejects keep their defaults.
bool ParseStatusLine(const std::string& line, EngineStatus& status);

// Fills `latency` from "OK latency engine=N quantum=N rate=N"; false, with `latency` untouched,
// for any other line (a daemon that does not know the command answers "ERR ...").
bool ParseLatencyLine(const std::string& line, EngineLatency& latency);

// Name, description and priority of every well-formed entry of a devices reply; empty for any
// reply that is not one.
std::vector<AudioDevice> ParseDeviceList(const std::string& line);

}  // namespace halvex
