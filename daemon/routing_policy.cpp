#include "daemon/routing_policy.h"

#include <algorithm>

#include "core/config/config_validation.h"

namespace halvex {

bool IsRoutableTarget(const AudioDevice& device) {
  return !device.name.empty() && device.name != kSinkName && device.name != kDspName;
}

const AudioDevice* ChooseTarget(const std::vector<AudioDevice>& devices,
                                const std::string& preferred) {
  const AudioDevice* best = nullptr;
  for (const AudioDevice& device : devices) {
    if (!IsRoutableTarget(device)) continue;
    if (!preferred.empty() && device.name == preferred) return &device;
    if (best == nullptr || device.priority > best->priority) best = &device;
  }
  return best;
}

std::vector<std::pair<uint32_t, uint32_t>> MatchPorts(const std::vector<PortInfo>& ports,
                                                      uint32_t out_node, const char* kind,
                                                      uint32_t in_node) {
  std::vector<const PortInfo*> outs;
  std::vector<const PortInfo*> ins;
  const std::string_view prefix = kind != nullptr ? kind : "";
  for (const PortInfo& port : ports) {
    if (port.node == out_node && port.output && port.name.starts_with(prefix)) {
      outs.push_back(&port);
    } else if (port.node == in_node && !port.output) {
      ins.push_back(&port);
    }
  }
  // Ties on name fall back to id so the pairing does not depend on the input order.
  const auto by_name = [](const PortInfo* a, const PortInfo* b) {
    return a->name != b->name ? a->name < b->name : a->id < b->id;
  };
  std::sort(outs.begin(), outs.end(), by_name);
  std::sort(ins.begin(), ins.end(), by_name);

  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  for (size_t k = 0; k < outs.size(); ++k) {
    const PortInfo* match = nullptr;
    if (!outs[k]->channel.empty()) {
      for (const PortInfo* in : ins) {
        if (in->channel == outs[k]->channel) {
          match = in;
          break;
        }
      }
    }
    if (match == nullptr && k < ins.size()) match = ins[k];
    if (match != nullptr) pairs.emplace_back(outs[k]->id, match->id);
  }
  return pairs;
}

std::vector<uint32_t> BypassLinks(const std::vector<LinkInfo>& links, uint32_t sink,
                                  uint32_t dsp, uint32_t target) {
  std::vector<uint32_t> bypass;
  if (sink == kNoId || target == kNoId) return bypass;
  for (const LinkInfo& link : links) {
    if (link.input_node != target || link.output_node == dsp) continue;
    const bool feeds_sink = std::any_of(links.begin(), links.end(), [&](const LinkInfo& other) {
      return other.output_node == link.output_node && other.input_node == sink;
    });
    if (feeds_sink) bypass.push_back(link.id);
  }
  return bypass;
}

bool IsBypassedStream(const std::vector<std::string>& apps, const std::string& app_name,
                      const std::string& binary) {
  return std::any_of(apps.begin(), apps.end(), [&](const std::string& app) {
    return (!app_name.empty() && app == app_name) || (!binary.empty() && app == binary);
  });
}

std::string CutUtf8(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t end = max_bytes;
  // Step back over continuation bytes so the cut lands before a sequence's lead byte.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

std::vector<AudioDevice> ListableDevices(const std::vector<AudioDevice>& devices) {
  std::vector<AudioDevice> listed;
  std::string ignored;
  for (const AudioDevice& device : devices) {
    if (!IsRoutableTarget(device) || !IsSafeDeviceName(device.name, ignored)) continue;
    AudioDevice copy = device;
    copy.description = CutUtf8(copy.description, kMaxDescriptionBytes);
    listed.push_back(std::move(copy));
  }
  return listed;
}

}  // namespace halvex
