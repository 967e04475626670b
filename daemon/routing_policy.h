// Routing decisions that need no PipeWire: which device gets the output, how ports pair up,
// which foreign links bypass the virtual sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "daemon/engine_control.h"

namespace halvex {

// Registry id meaning "none".
inline constexpr uint32_t kNoId = 0xFFFFFFFF;
inline constexpr const char* kSinkName = "halvex";
inline constexpr const char* kDspName = "halvex_dsp";

struct PortInfo {
  uint32_t id = kNoId;
  uint32_t node = kNoId;   // "node.id"
  bool output = false;     // "port.direction" is "out"
  std::string channel;     // "audio.channel"
  std::string name;        // "port.name"
};

struct LinkInfo {
  uint32_t id = kNoId;
  uint32_t output_node = 0;  // "link.output.node"
  uint32_t input_node = 0;   // "link.input.node"
  uint32_t output_port = kNoId;  // "link.output.port"
  uint32_t input_port = kNoId;   // "link.input.port"
};

// False for the unnamed node and the daemon's own two nodes.
bool IsRoutableTarget(const AudioDevice& device);

// The present preferred device, else the routable device of highest priority (the earlier one,
// i.e. the lower node id, on a tie); null when nothing is routable.
const AudioDevice* ChooseTarget(const std::vector<AudioDevice>& devices,
                                const std::string& preferred);

// Pairs (output port id, input port id) linking `out_node`'s output ports whose name starts with
// `kind` (all outputs when null) to `in_node`'s inputs: same channel first, else by position in
// name order. `ports` may be in any order.
std::vector<std::pair<uint32_t, uint32_t>> MatchPorts(const std::vector<PortInfo>& ports,
                                                      uint32_t out_node, const char* kind,
                                                      uint32_t in_node);

// Ids of links into `target` from a node other than `dsp` that also feeds `sink`.
std::vector<uint32_t> BypassLinks(const std::vector<LinkInfo>& links, uint32_t sink,
                                  uint32_t dsp, uint32_t target);

// Whether a stream with this application name and process binary is one of `apps`.
bool IsBypassedStream(const std::vector<std::string>& apps, const std::string& app_name,
                      const std::string& binary);

// `text` cut to at most `max_bytes` without splitting a UTF-8 sequence.
std::string CutUtf8(std::string_view text, size_t max_bytes);

// The devices the control service may show: safe node names only, descriptions cut on a
// character boundary to what one reply field holds.
std::vector<AudioDevice> ListableDevices(const std::vector<AudioDevice>& devices);

// Longest description passed on to the control service, in bytes.
inline constexpr size_t kMaxDescriptionBytes = 96;

}  // namespace halvex
