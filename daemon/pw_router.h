// Wires the graph around the daemon's two nodes: sink monitor -> DSP -> chosen output device;
// moves playback streams into the sink and makes it the default.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "daemon/engine_control.h"
#include "daemon/routing_policy.h"

namespace halvex {

class PwRouter {
 public:
  struct Node {
    std::string name;
    std::string description;
    std::string media_class;
    int32_t priority = 0;
    uint64_t serial = 0;
  };
  using Port = PortInfo;
  using GraphLink = LinkInfo;

  PwRouter();
  ~PwRouter();
  PwRouter(const PwRouter&) = delete;
  PwRouter& operator=(const PwRouter&) = delete;

  // Main-loop thread. `dsp_node_id` may be kNoId; the bound ids arrive through SetOwnNodes.
  bool Start(pw_core* core, pw_loop* loop, uint32_t dsp_node_id, const std::string& preferred);
  // Bound registry ids of the daemon's own sink and filter; nodes of the same names made by
  // anyone else are never treated as ours.
  void SetOwnNodes(uint32_t sink_id, uint32_t dsp_id);
  // Removes the links the router made, gives back the default sink and the quantum, and
  // destroys every proxy it holds. The caller should flush the connection afterwards.
  void Stop();
  // Any thread; routing itself always runs on the main loop.
  void SetPreferred(const std::string& name);
  // Every "Audio/Sink" node in id order (the virtual sink included).
  std::vector<AudioDevice> Devices() const;
  std::string ActiveTarget() const;

 private:
  struct OwnedLink;
  struct BoundMetadata;

  static void OnGlobalThunk(void* data, uint32_t id, uint32_t permissions, const char* type,
                            uint32_t version, const spa_dict* props);
  static void OnGlobalRemovedThunk(void* data, uint32_t id);
  static void OnRouteEventThunk(void* data, uint64_t count);
  static void OnLinkBound(void* data, uint32_t global_id);
  static void OnLinkError(void* data, int seq, int res, const char* message);
  static void OnLinkRemoved(void* data);
  static int OnMetadataProperty(void* data, uint32_t subject, const char* key, const char* type,
                                const char* value);

  void OnGlobal(uint32_t id, const char* type, const spa_dict* props);
  void OnGlobalRemoved(uint32_t id);
  void AddNode(uint32_t id, const spa_dict* props);
  void AddPort(uint32_t id, const spa_dict* props);
  void AddLink(uint32_t id, const spa_dict* props);
  void BindMetadata(uint32_t id, const spa_dict* props);
  void UnbindMetadata(BoundMetadata& metadata);
  void QueueRoute();
  void Route();
  void SweepDeadLinks();
  uint32_t NodeIdByName(const std::string& name) const;
  std::vector<std::pair<uint32_t, uint32_t>> PortPairs(uint32_t out_node, const char* kind,
                                                       uint32_t in_node) const;
  bool LinkNodes(uint32_t out_node, const char* kind, uint32_t in_node);
  void DropLinksExcept(uint32_t keep_node);
  void PinDspOutput(uint64_t serial);
  void SetDefaultSink(const std::string& name);
  void RestoreDefaultSink();
  void ForceQuantum();
  void RestoreQuantum();
  void MoveStreamsToSink();
  void RemoveBypassLinks(uint32_t target_id);
  std::vector<AudioDevice> DevicesLocked() const;

  pw_core* core_ = nullptr;
  pw_loop* loop_ = nullptr;
  pw_registry* registry_ = nullptr;
  std::unique_ptr<BoundMetadata> default_metadata_;
  std::unique_ptr<BoundMetadata> settings_metadata_;
  uint32_t dsp_node_id_ = kNoId;
  uint32_t sink_node_id_ = kNoId;

  mutable std::mutex mutex_;
  std::map<uint32_t, Node> nodes_;
  std::map<uint32_t, Port> ports_;
  std::map<uint32_t, GraphLink> links_;
  std::string preferred_;
  std::string active_;
  uint64_t pinned_serial_ = 0;
  bool default_claimed_ = false;
  std::set<uint32_t> moved_streams_;
  std::vector<std::unique_ptr<OwnedLink>> owned_links_;
  spa_hook registry_listener_{};
  // Wakes the main loop for routing asked from another thread; null outside Start..Stop.
  spa_source* route_event_ = nullptr;
  bool started_ = false;
};

}  // namespace halvex
