// What the daemon reports about the running engine over the control socket: output devices,
// playback streams and latency. Plain records, so clients reach them without the daemon.
#pragma once

#include <cstdint>
#include <string>

namespace halvex {

// One output device (a sink node) as the router knows it.
struct AudioDevice {
  std::string name;         // "node.name"
  std::string description;  // "node.description", the node name when absent
  int32_t priority = 0;     // "priority.session"
  uint32_t id = 0;          // registry id
  uint64_t serial = 0;      // "object.serial"
};

// One playback stream: its application, and whether it plays past the engine.
struct PlaybackStream {
  std::string app;  // "application.name", else the process binary, else the node name
  bool bypassed = false;
};

// What the engine adds to the graph's latency, and the graph's last cycle.
struct EngineLatency {
  uint32_t engine_frames = 0;  // the heard processor's latency (0 while processing is off)
  uint32_t quantum = 0;        // frames of the last cycle (0 before the first)
  uint32_t rate = 0;           // the graph's rate in Hz (0 before the first cycle)
};

}  // namespace halvex
