#include "daemon/pw_router.h"

#include <pipewire/extensions/metadata.h>
#include <spa/utils/dict.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/pw/passive_link.h"

namespace halvex {
namespace {

constexpr const char* kConfiguredSinkKey = "default.configured.audio.sink";
// Refusals of one port pair after which the router stops asking for that link.
constexpr int kMaxRefusals = 3;
// The session manager configures a new sink in several steps, and PipeWire 0.3.65 can crash
// in the sink's converter when a link starts it in between. The sink is linked once its ports
// have been quiet this long.
constexpr int64_t kSinkSettleNs = 300000000;

int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool Tracing() { return std::getenv("HALVEX_TRACE_ROUTING") != nullptr; }

const char* Lookup(const spa_dict* props, const char* key, const char* fallback) {
  const char* value = spa_dict_lookup(props, key);
  return value != nullptr ? value : fallback;
}

int32_t ParseInt(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<int32_t>(value);
}

uint64_t ParseUnsigned(const char* text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || text[0] == '-') return 0;
  return value;
}

uint32_t ParseId(const char* text) {
  if (text == nullptr) return kNoId;
  const uint64_t value = ParseUnsigned(text);
  return value > UINT32_MAX ? kNoId : static_cast<uint32_t>(value);
}

std::string SinkJson(const std::string& name) {
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "{\"name\":\"%s\"}", name.c_str());
  return buffer;
}

}  // namespace

struct PwRouter::OwnedLink {
  PwRouter* router = nullptr;
  PwProxyPtr<pw_proxy> proxy;
  uint32_t output_port = kNoId;
  uint32_t input_port = kNoId;
  uint32_t input_node = kNoId;
  uint32_t global_id = kNoId;  // known once bound
  bool dead = false;           // removed or refused; swept on the next routing pass
  bool refused = false;
  PwListener listener;  // after the proxy: removed before it is destroyed
};

struct PwRouter::BoundMetadata {
  PwRouter* router = nullptr;
  uint32_t global_id = kNoId;
  PwProxyPtr<pw_metadata> proxy;
  PwListener listener;  // after the proxy: removed before it is destroyed
  int sync_seq = -1;
  bool synced = false;  // the server has sent every existing property
  // Subject-0 properties as the server reports them: key -> (value, type).
  std::map<std::string, std::pair<std::string, std::string>> globals;
};

PwRouter::PwRouter() = default;

PwRouter::~PwRouter() = default;

bool PwRouter::Start(pw_core* core, pw_loop* loop, const std::string& preferred) {
  core_ = core;
  loop_ = loop;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    preferred_ = preferred;
    route_event_ = PwLoopSource(loop_, pw_loop_add_event(loop_, &PwRouter::OnRouteEvent, this));
    if (!route_event_) return false;
  }
  settle_timer_ = PwLoopSource(loop_, pw_loop_add_timer(loop_, &PwRouter::OnSettleTimer, this));
  if (!settle_timer_) return false;
  static const pw_core_events core_events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &PwRouter::OnCoreDone;
    return events;
  }();
  pw_core_add_listener(core_, core_listener_.hook(), &core_events, this);

  registry_.reset(pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0));
  if (!registry_) return false;
  static const pw_registry_events registry_events = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &PwRouter::OnGlobalThunk;
    events.global_remove = &PwRouter::OnGlobalRemovedThunk;
    return events;
  }();
  pw_registry_add_listener(registry_.get(), registry_listener_.hook(), &registry_events, this);
  return true;
}

void PwRouter::SetOwnNodes(uint32_t sink_id, uint32_t dsp_id) {
  if (sink_id != kNoId) {
    sink_node_id_ = sink_id;
    sink_ports_changed_ns_ = NowNs();
  }
  if (dsp_id != kNoId) dsp_node_id_ = dsp_id;
  QueueRoute();
}

void PwRouter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    route_event_.Reset();
  }
  settle_timer_.Reset();
  owned_links_.clear();  // each link's owner removes it from the graph
  RestoreDefaultSink();
  Unbind(default_metadata_);
  registry_listener_.Remove();
  registry_.reset();
  core_listener_.Remove();
  core_ = nullptr;
}

void PwRouter::SetPreferred(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (name == preferred_) return;
  preferred_ = name;
  // Signalling an event is safe from any thread; after Stop there is nothing to wake.
  if (route_event_) pw_loop_signal_event(loop_, route_event_.get());
}

std::vector<AudioDevice> PwRouter::Devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return DevicesLocked();
}

std::vector<AudioDevice> PwRouter::DevicesLocked() const {
  std::vector<AudioDevice> devices;
  for (const auto& [id, node] : nodes_) {
    if (node.media_class != "Audio/Sink") continue;
    AudioDevice device;
    device.name = node.name;
    device.description = node.description;
    device.priority = node.priority;
    device.id = id;
    device.serial = node.serial;
    devices.push_back(std::move(device));
  }
  return devices;
}

std::string PwRouter::ActiveTarget() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return active_;
}

void PwRouter::SetBypassApps(const std::vector<std::string>& apps) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (apps == bypass_apps_) return;
  bypass_apps_ = apps;
  if (route_event_) pw_loop_signal_event(loop_, route_event_.get());
}

std::vector<PlaybackStream> PwRouter::Streams() const {
  std::vector<PlaybackStream> streams;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [id, node] : nodes_) {
    if (node.media_class != "Stream/Output/Audio" || node.name == kDspName) continue;
    PlaybackStream stream;
    stream.app = !node.app_name.empty() ? node.app_name
                 : !node.binary.empty() ? node.binary
                                        : node.name;
    stream.bypassed = IsBypassedStream(bypass_apps_, node.app_name, node.binary);
    streams.push_back(std::move(stream));
  }
  return streams;
}

void PwRouter::OnGlobalThunk(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                             const spa_dict* props) {
  static_cast<PwRouter*>(data)->OnGlobal(id, type, props);
}

void PwRouter::OnGlobalRemovedThunk(void* data, uint32_t id) {
  static_cast<PwRouter*>(data)->OnGlobalRemoved(id);
}

void PwRouter::OnRouteEvent(void* data, uint64_t) {
  auto* router = static_cast<PwRouter*>(data);
  router->SweepDeadLinks();
  router->Route();
}

void PwRouter::OnSettleTimer(void* data, uint64_t) { static_cast<PwRouter*>(data)->Route(); }

void PwRouter::OnCoreDone(void* data, uint32_t id, int seq) {
  auto* router = static_cast<PwRouter*>(data);
  BoundMetadata* metadata = router->default_metadata_.get();
  if (id == PW_ID_CORE && metadata != nullptr && !metadata->synced && seq == metadata->sync_seq) {
    metadata->synced = true;
    router->QueueRoute();
  }
}

void PwRouter::OnLinkBound(void* data, uint32_t global_id) {
  static_cast<OwnedLink*>(data)->global_id = global_id;
}

void PwRouter::OnLinkRemoved(void* data) {
  auto* link = static_cast<OwnedLink*>(data);
  link->dead = true;
  link->router->QueueRoute();
}

void PwRouter::OnLinkError(void* data, int, int res, const char* message) {
  auto* link = static_cast<OwnedLink*>(data);
  if (Tracing()) {
    std::fprintf(stderr, "halvexd: link %u -> %u refused: %s (%d)\n", link->output_port,
                 link->input_port, message != nullptr ? message : "", res);
  }
  link->dead = true;
  link->refused = true;
  link->router->QueueRoute();
}

int PwRouter::OnMetadataProperty(void* data, uint32_t subject, const char* key,
                                 const char* type, const char* value) {
  auto* metadata = static_cast<BoundMetadata*>(data);
  if (subject != 0) return 0;
  if (key == nullptr) {
    metadata->globals.clear();
  } else if (value == nullptr) {
    metadata->globals.erase(key);
  } else {
    metadata->globals[key] = {value, type != nullptr ? type : ""};
  }
  return 0;
}

void PwRouter::OnGlobal(uint32_t id, const char* type, const spa_dict* props) {
  if (Tracing()) std::fprintf(stderr, "halvexd: global %u %s\n", id, type ? type : "(null)");
  if (props == nullptr || type == nullptr) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    AddNode(id, props);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    AddPort(id, props);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    AddLink(id, props);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    BindMetadata(id, props);
    return;
  } else {
    return;
  }
  // One routing pass per loop iteration, however many globals arrived in it.
  QueueRoute();
}

void PwRouter::OnGlobalRemoved(uint32_t id) {
  bool reroute = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reroute = nodes_.erase(id) > 0;
  }
  moved_streams_.erase(id);
  bypass_moved_.erase(id);
  const auto port = ports_.find(id);
  if (port != ports_.end()) {
    if (port->second.node == sink_node_id_) sink_ports_changed_ns_ = NowNs();
    ports_.erase(port);
    reroute = true;
  }
  links_.erase(id);
  if (id == sink_node_id_) sink_node_id_ = kNoId;
  if (id == dsp_node_id_) dsp_node_id_ = kNoId;
  for (auto& link : owned_links_) {
    if (link->dead) continue;
    if (link->global_id == id || !ports_.contains(link->output_port) ||
        !ports_.contains(link->input_port)) {
      link->dead = true;
      reroute = true;
    }
  }
  if (default_metadata_ && default_metadata_->global_id == id) {
    // A restarted session manager publishes a new one; bind that instead.
    Unbind(default_metadata_);
    std::lock_guard<std::mutex> lock(mutex_);
    default_claimed_ = false;
  }
  if (reroute) QueueRoute();
}

void PwRouter::AddNode(uint32_t id, const spa_dict* props) {
  Node node;
  node.name = Lookup(props, PW_KEY_NODE_NAME, "");
  node.description = Lookup(props, PW_KEY_NODE_DESCRIPTION, node.name.c_str());
  node.media_class = Lookup(props, PW_KEY_MEDIA_CLASS, "");
  node.priority = ParseInt(Lookup(props, PW_KEY_PRIORITY_SESSION, "0"));
  node.serial = ParseUnsigned(Lookup(props, PW_KEY_OBJECT_SERIAL, "0"));
  node.app_name = Lookup(props, PW_KEY_APP_NAME, "");
  node.binary = Lookup(props, PW_KEY_APP_PROCESS_BINARY, "");
  std::lock_guard<std::mutex> lock(mutex_);
  nodes_[id] = std::move(node);
}

void PwRouter::AddPort(uint32_t id, const spa_dict* props) {
  const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
  if (node == nullptr) return;
  Port port;
  port.id = id;
  port.node = ParseId(node);
  port.output = std::strcmp(Lookup(props, PW_KEY_PORT_DIRECTION, ""), "out") == 0;
  port.channel = Lookup(props, PW_KEY_AUDIO_CHANNEL, "");
  port.name = Lookup(props, PW_KEY_PORT_NAME, "");
  if (port.node == sink_node_id_) sink_ports_changed_ns_ = NowNs();
  ports_[id] = std::move(port);
}

void PwRouter::AddLink(uint32_t id, const spa_dict* props) {
  GraphLink link;
  link.id = id;
  link.output_node = ParseId(Lookup(props, PW_KEY_LINK_OUTPUT_NODE, "0"));
  link.input_node = ParseId(Lookup(props, PW_KEY_LINK_INPUT_NODE, "0"));
  link.output_port = ParseId(spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_PORT));
  link.input_port = ParseId(spa_dict_lookup(props, PW_KEY_LINK_INPUT_PORT));
  links_[id] = link;
}

void PwRouter::BindMetadata(uint32_t id, const spa_dict* props) {
  if (std::strcmp(Lookup(props, PW_KEY_METADATA_NAME, ""), "default") != 0) return;
  if (default_metadata_) return;
  auto metadata = std::make_unique<BoundMetadata>();
  metadata->router = this;
  metadata->global_id = id;
  metadata->proxy.reset(static_cast<pw_metadata*>(
      pw_registry_bind(registry_.get(), id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0)));
  if (!metadata->proxy) return;
  static const pw_metadata_events events = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = &PwRouter::OnMetadataProperty;
    return e;
  }();
  pw_metadata_add_listener(metadata->proxy.get(), metadata->listener.hook(), &events,
                           metadata.get());
  // The current properties arrive before this round trip completes; the previous default is
  // only known after that, so the claim waits for it.
  metadata->sync_seq = pw_core_sync(core_, PW_ID_CORE, 0);
  default_metadata_ = std::move(metadata);
}

void PwRouter::Unbind(std::unique_ptr<BoundMetadata>& metadata) {
  metadata.reset();
  pinned_serial_ = 0;
}

void PwRouter::QueueRoute() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (route_event_) pw_loop_signal_event(loop_, route_event_.get());
}

void PwRouter::SweepDeadLinks() {
  for (auto it = owned_links_.begin(); it != owned_links_.end();) {
    OwnedLink& link = **it;
    if (!link.dead) {
      ++it;
      continue;
    }
    if (link.refused) ++refused_[{link.output_port, link.input_port}];
    DestroyLink(link);
    it = owned_links_.erase(it);
  }
}

void PwRouter::DestroyLink(OwnedLink& link) {
  link.listener.Remove();
  link.proxy.reset();
}

void PwRouter::Route() {
  if (core_ == nullptr) return;
  std::vector<AudioDevice> devices;
  std::string preferred;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    devices = DevicesLocked();
    preferred = preferred_;
  }
  const AudioDevice* target = ChooseTarget(devices, preferred);
  const uint32_t sink = sink_node_id_;
  const uint32_t dsp = dsp_node_id_;
  if (Tracing()) {
    std::fprintf(stderr, "halvexd: route sink=%u dsp=%u nodes=%zu ports=%zu target=%s\n", sink,
                 dsp, devices.size(), ports_.size(), target ? target->name.c_str() : "(none)");
  }
  if (sink == kNoId || dsp == kNoId) return;
  const int64_t quiet_ns = NowNs() - sink_ports_changed_ns_;
  if (quiet_ns < kSinkSettleNs) {
    const int64_t wait_ns = kSinkSettleNs - quiet_ns;
    timespec value{static_cast<time_t>(wait_ns / 1000000000),
                   static_cast<long>(wait_ns % 1000000000)};
    timespec none{0, 0};
    if (settle_timer_) pw_loop_update_timer(loop_, settle_timer_.get(), &value, &none, false);
    return;
  }
  LinkNodes(sink, "monitor", dsp);
  if (target == nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    active_.clear();
    return;
  }
  DropLinksExcept(target->id);
  const bool created = LinkNodes(dsp, "output", target->id);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (created || active_ != target->name) {
      std::fprintf(stderr, "halvexd: output -> %s (%s)\n", target->description.c_str(),
                   target->name.c_str());
    }
    active_ = target->name;
  }
  PinDspOutput(target->serial);
  ClaimDefaultSink();
  MoveStreams(target->serial);
  RemoveBypassLinks(target->id);
}

bool PwRouter::LinkNodes(uint32_t out_node, const char* kind, uint32_t in_node) {
  if (out_node == kNoId || in_node == kNoId) return false;
  std::vector<PortInfo> ports;
  ports.reserve(ports_.size());
  for (const auto& [id, port] : ports_) ports.push_back(port);
  const auto pairs = MatchPorts(ports, out_node, kind, in_node);
  if (Tracing()) {
    std::fprintf(stderr, "halvexd: link %u(%s) -> %u: %zu pair(s)\n", out_node,
                 kind ? kind : "*", in_node, pairs.size());
  }
  bool created = false;
  for (const auto& [out_port, in_port] : pairs) {
    const bool owned = std::any_of(owned_links_.begin(), owned_links_.end(), [&](const auto& l) {
      return !l->dead && l->output_port == out_port && l->input_port == in_port;
    });
    // A link someone else already made between the same ports would only be refused.
    const bool present = std::any_of(links_.begin(), links_.end(), [&](const auto& entry) {
      return entry.second.output_port == out_port && entry.second.input_port == in_port;
    });
    if (owned || present) continue;
    const auto refusals = refused_.find({out_port, in_port});
    if (refusals != refused_.end() && refusals->second >= kMaxRefusals) continue;

    // "node.passive" on the filter does not keep these from holding the graph awake; passive
    // links do.
    PwProxyPtr<pw_proxy> proxy = CreatePassiveLink(core_, out_port, in_port);
    if (!proxy) {
      std::fprintf(stderr, "halvexd: cannot create link %u -> %u: %s\n", out_port, in_port,
                   std::strerror(errno));
      continue;
    }
    auto link = std::make_unique<OwnedLink>();
    link->router = this;
    link->proxy = std::move(proxy);
    link->output_port = out_port;
    link->input_port = in_port;
    link->input_node = in_node;
    static const pw_proxy_events events = [] {
      pw_proxy_events e{};
      e.version = PW_VERSION_PROXY_EVENTS;
      e.bound = &PwRouter::OnLinkBound;
      e.removed = &PwRouter::OnLinkRemoved;
      e.error = &PwRouter::OnLinkError;
      return e;
    }();
    pw_proxy_add_listener(link->proxy.get(), link->listener.hook(), &events, link.get());
    owned_links_.push_back(std::move(link));
    created = true;
  }
  return created;
}

void PwRouter::DropLinksExcept(uint32_t keep_node) {
  for (auto it = owned_links_.begin(); it != owned_links_.end();) {
    OwnedLink& link = **it;
    if (link.input_node == dsp_node_id_ || link.input_node == keep_node) {
      ++it;
      continue;
    }
    DestroyLink(link);
    it = owned_links_.erase(it);
  }
}

void PwRouter::PinDspOutput(uint64_t serial) {
  if (!default_metadata_ || serial == 0 || serial == pinned_serial_) return;
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64, serial);
  pw_metadata_set_property(default_metadata_->proxy.get(), dsp_node_id_, "target.object", "Spa:Id",
                           text);
  pinned_serial_ = serial;
}

void PwRouter::ClaimDefaultSink() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (default_claimed_) return;
  }
  // Only a bound metadata whose current properties are known can be claimed (and later given
  // back); until then the claim stays open.
  if (!default_metadata_ || !default_metadata_->synced) return;
  BoundMetadata& metadata = *default_metadata_;
  // Captured once: after a session manager restart the stored default may already be ours.
  if (!previous_captured_) {
    const auto previous = metadata.globals.find(kConfiguredSinkKey);
    // Left over from a daemon that could not clean up: that is no default to go back to.
    had_previous_default_ =
        previous != metadata.globals.end() && previous->second.first != SinkJson(kSinkName);
    if (had_previous_default_) {
      previous_default_ = previous->second.first;
      previous_default_type_ = previous->second.second;
    }
    previous_captured_ = true;
  }
  if (Tracing()) {
    std::fprintf(stderr, "halvexd: claim default: previous=%s\n",
                 had_previous_default_ ? previous_default_.c_str() : "(none)");
  }
  // The session manager derives "default.audio.sink" from the configured default.
  pw_metadata_set_property(metadata.proxy.get(), 0, kConfiguredSinkKey, "Spa:String:JSON",
                           SinkJson(kSinkName).c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  default_claimed_ = true;
}

void PwRouter::RestoreDefaultSink() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!default_claimed_) return;
    default_claimed_ = false;
  }
  if (!default_metadata_) return;
  BoundMetadata& metadata = *default_metadata_;
  const auto now = metadata.globals.find(kConfiguredSinkKey);
  if (Tracing()) {
    std::fprintf(stderr, "halvexd: restore default: now=%s previous=%s\n",
                 now != metadata.globals.end() ? now->second.first.c_str() : "(unset)",
                 had_previous_default_ ? previous_default_.c_str() : "(none)");
  }
  // Someone chose a third default since: leave their choice alone. Seeing the previous default
  // again is no such choice: the session manager may write it back from its saved state while
  // ours is still in force, so the value seen here can lag behind the server's, and writing the
  // previous default once more is harmless.
  if (now != metadata.globals.end() && now->second.first != SinkJson(kSinkName) &&
      !(had_previous_default_ && now->second.first == previous_default_)) {
    return;
  }
  if (had_previous_default_) {
    pw_metadata_set_property(metadata.proxy.get(), 0, kConfiguredSinkKey,
                             previous_default_type_.empty() ? nullptr
                                                            : previous_default_type_.c_str(),
                             previous_default_.c_str());
  } else {
    pw_metadata_set_property(metadata.proxy.get(), 0, kConfiguredSinkKey, nullptr, nullptr);
  }
}

void PwRouter::MoveStreams(uint64_t target_serial) {
  if (!default_metadata_) return;
  uint64_t sink_serial = 0;
  // (stream id, serial it goes to)
  std::vector<std::pair<uint32_t, uint64_t>> moves;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto sink = nodes_.find(sink_node_id_);
    if (sink != nodes_.end()) sink_serial = sink->second.serial;
    for (const auto& [id, node] : nodes_) {
      if (node.media_class != "Stream/Output/Audio" || id == sink_node_id_ ||
          id == dsp_node_id_) {
        continue;
      }
      if (IsBypassedStream(bypass_apps_, node.app_name, node.binary)) {
        // Follows the device: sent again whenever the chosen device changes.
        const auto sent = bypass_moved_.find(id);
        if (sent == bypass_moved_.end() || sent->second != target_serial) {
          moves.emplace_back(id, target_serial);
        }
        continue;
      }
      // No longer bypassed: it joins the others, moved into the sink once.
      if (bypass_moved_.erase(id) > 0) moved_streams_.erase(id);
      if (!moved_streams_.contains(id)) moves.emplace_back(id, sink_serial);
    }
  }
  if (sink_serial == 0) return;
  char text[32];
  for (const auto& [id, serial] : moves) {
    if (serial == sink_serial) {
      moved_streams_.insert(id);
    } else {
      bypass_moved_[id] = serial;
    }
    std::snprintf(text, sizeof text, "%" PRIu64, serial);
    pw_metadata_set_property(default_metadata_->proxy.get(), id, "target.object", "Spa:Id", text);
  }
}

void PwRouter::RemoveBypassLinks(uint32_t target_id) {
  std::vector<LinkInfo> links;
  links.reserve(links_.size());
  for (const auto& [id, link] : links_) links.push_back(link);
  for (uint32_t id : BypassLinks(links, sink_node_id_, dsp_node_id_, target_id)) {
    pw_registry_destroy(registry_.get(), id);
    links_.erase(id);
  }
}

}  // namespace halvex
