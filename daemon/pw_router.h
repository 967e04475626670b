// Wires the graph around the daemon's two nodes: sink monitor -> DSP -> chosen output device;
// moves playback streams into the sink and makes it the configured default while it runs.
#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "daemon/engine_control.h"
#include "core/pw/pw_handles.h"
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
    std::string app_name;  // "application.name"
    std::string binary;    // "application.process.binary"
  };
  using Port = PortInfo;
  using GraphLink = LinkInfo;

  PwRouter();
  ~PwRouter();
  PwRouter(const PwRouter&) = delete;
  PwRouter& operator=(const PwRouter&) = delete;

  // Main-loop thread. Routing waits until SetOwnNodes has named both of the daemon's nodes.
  bool Start(pw_core* core, pw_loop* loop, const std::string& preferred);
  // Bound registry ids of the daemon's own sink and filter: other nodes of the same names
  // are never mistaken for ours. Main-loop thread; either may be kNoId (unchanged).
  void SetOwnNodes(uint32_t sink_id, uint32_t dsp_id);
  // Main-loop thread: removes the links the router made, gives the previous configured default
  // sink back, and destroys every proxy it holds. The caller then flushes the connection.
  void Stop();
  // Any thread; the routing itself always runs on the main loop.
  void SetPreferred(const std::string& name);
  // Every "Audio/Sink" node in id order (the virtual sink included).
  std::vector<AudioDevice> Devices() const;
  std::string ActiveTarget() const;
  // Any thread. Streams of these apps are sent to the chosen device instead of the sink.
  void SetBypassApps(const std::vector<std::string>& apps);
  std::vector<PlaybackStream> Streams() const;

 private:
  struct OwnedLink;
  struct BoundMetadata;

  static void OnGlobalThunk(void* data, uint32_t id, uint32_t permissions, const char* type,
                            uint32_t version, const spa_dict* props);
  static void OnGlobalRemovedThunk(void* data, uint32_t id);
  static void OnRouteEvent(void* data, uint64_t count);
  static void OnSettleTimer(void* data, uint64_t expirations);
  static void OnCoreDone(void* data, uint32_t id, int seq);
  static void OnLinkBound(void* data, uint32_t global_id);
  static void OnLinkRemoved(void* data);
  static void OnLinkError(void* data, int seq, int res, const char* message);
  static int OnMetadataProperty(void* data, uint32_t subject, const char* key, const char* type,
                                const char* value);

  void OnGlobal(uint32_t id, const char* type, const spa_dict* props);
  void OnGlobalRemoved(uint32_t id);
  void AddNode(uint32_t id, const spa_dict* props);
  void AddPort(uint32_t id, const spa_dict* props);
  void AddLink(uint32_t id, const spa_dict* props);
  void BindMetadata(uint32_t id, const spa_dict* props);
  void Unbind(std::unique_ptr<BoundMetadata>& metadata);
  void QueueRoute();
  void Route();
  void SweepDeadLinks();
  void DestroyLink(OwnedLink& link);
  bool LinkNodes(uint32_t out_node, const char* kind, uint32_t in_node);
  void DropLinksExcept(uint32_t keep_node);
  void PinDspOutput(uint64_t serial);
  void ClaimDefaultSink();
  void RestoreDefaultSink();
  void MoveStreams(uint64_t target_serial);
  void RemoveBypassLinks(uint32_t target_id);
  std::vector<AudioDevice> DevicesLocked() const;

  // Main-loop thread only.
  pw_core* core_ = nullptr;
  pw_loop* loop_ = nullptr;
  PwProxyPtr<pw_registry> registry_;
  PwListener registry_listener_;  // after the registry: removed before it is destroyed
  PwListener core_listener_;
  std::unique_ptr<BoundMetadata> default_metadata_;
  uint32_t dsp_node_id_ = kNoId;
  uint32_t sink_node_id_ = kNoId;
  std::map<uint32_t, Port> ports_;
  // Last time a port of the virtual sink came or went; the sink is linked only once that has
  // been quiet for a while (see Route).
  int64_t sink_ports_changed_ns_ = 0;
  PwLoopSource settle_timer_;
  std::map<uint32_t, GraphLink> links_;
  uint64_t pinned_serial_ = 0;
  std::set<uint32_t> moved_streams_;
  // Bypassed streams and the device serial each was last sent to.
  std::map<uint32_t, uint64_t> bypass_moved_;
  std::vector<std::unique_ptr<OwnedLink>> owned_links_;
  // Port pairs whose link the server refused, with the number of refusals.
  std::map<std::pair<uint32_t, uint32_t>, int> refused_;
  // The configured default before the claim, restored at Stop if it is still ours.
  bool previous_captured_ = false;
  bool had_previous_default_ = false;
  std::string previous_default_;
  std::string previous_default_type_;

  // Shared with the control thread.
  mutable std::mutex mutex_;
  std::map<uint32_t, Node> nodes_;
  std::string preferred_;
  std::string active_;
  std::vector<std::string> bypass_apps_;
  bool default_claimed_ = false;
  // Wakes the main loop to route; null outside Start..Stop.
  PwLoopSource route_event_;
};

}  // namespace halvex
