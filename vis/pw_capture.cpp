#include "vis/pw_capture.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "core/pw/passive_link.h"
#include "core/pw/pw_handles.h"

namespace halvex::vis {

bool CaptureLoopSlot::Publish(pw_main_loop* loop, const std::atomic<bool>& running) {
  std::lock_guard<std::mutex> lock(mutex_);
  loop_ = loop;
  // Stop clears `running` before it takes the lock: seen here, or it finds the loop published.
  if (!running.load()) {
    loop_ = nullptr;
    return false;
  }
  return true;
}

void CaptureLoopSlot::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  loop_ = nullptr;
}

void CaptureLoopSlot::Quit() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (loop_ != nullptr) pw_main_loop_quit(loop_);
}

ChunkSpan ChunkFrames(uint32_t chunk_offset, uint32_t chunk_size, uint32_t maxsize) {
  const uint32_t offset = std::min(chunk_offset, maxsize);
  const uint32_t size = std::min(chunk_size, maxsize - offset);
  return ChunkSpan{offset, size / sizeof(StereoFrame)};
}

void WaitWhileRunning(int ms, const std::atomic<bool>& running) {
  constexpr int kStepMs = 100;
  for (int waited = 0; waited < ms && running.load(); waited += kStepMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kStepMs, ms - waited)));
  }
}

namespace {

// How often the attempt checks that capture is still wanted, and how long it waits for the
// target node's ports before it counts as failed.
constexpr int64_t kTickMs = 100;
constexpr int64_t kTargetWaitMs = 5000;
constexpr uint32_t kRate = 48000;
constexpr const char* kChannels[2] = {"FL", "FR"};
// Frames the process callback copies out of a buffer at a time.
constexpr size_t kBlockFrames = 1024;

struct PortInfo {
  uint32_t node = 0;
  bool output = false;
  std::string channel;
};

// Everything the callbacks of one attempt touch; lives on RunOnce's stack. The handles are
// declared in the order they are made, so they go in reverse: timer, links, registry, stream.
struct Attempt {
  AudioRing* ring = nullptr;
  pw_main_loop* loop = nullptr;
  std::atomic<bool>* audio_seen = nullptr;
  std::atomic<bool>* running = nullptr;

  std::string target;
  int64_t waited_ms = 0;
  uint32_t target_node = SPA_ID_INVALID;
  uint32_t own_node = SPA_ID_INVALID;
  std::map<uint32_t, PortInfo> ports;
  std::set<std::pair<uint32_t, uint32_t>> linked;

  PwStreamPtr stream;
  pw_core* core = nullptr;  // the stream's connection, freed with it
  PwProxyPtr<pw_registry> registry;
  PwListener registry_listener;
  std::vector<PwProxyPtr<pw_proxy>> links;
  PwLoopSource timer;

  void Quit() { pw_main_loop_quit(loop); }
  uint32_t FindPort(uint32_t node, bool output, const std::string& channel) const;
  void TryLink();
};

uint32_t Attempt::FindPort(uint32_t node, bool output, const std::string& channel) const {
  for (const auto& [id, port] : ports) {
    if (port.node == node && port.output == output && port.channel == channel) return id;
  }
  return SPA_ID_INVALID;
}

// The session manager links capture streams only to devices and their monitors, never to a
// filter node's outputs, so the stream links itself, channel by channel.
void Attempt::TryLink() {
  if (target_node == SPA_ID_INVALID || own_node == SPA_ID_INVALID) return;
  for (const char* channel : kChannels) {
    const uint32_t out = FindPort(target_node, true, channel);
    const uint32_t in = FindPort(own_node, false, channel);
    if (out == SPA_ID_INVALID || in == SPA_ID_INVALID || linked.contains({out, in})) continue;
    // Listening must not keep the graph awake.
    PwProxyPtr<pw_proxy> link = CreatePassiveLink(core, out, in);
    if (!link) continue;
    links.push_back(std::move(link));
    linked.insert({out, in});
  }
}

// The channel of a port: its audio.channel, else what follows the last '_' of its name.
std::string PortChannel(const spa_dict* props) {
  if (const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL)) return channel;
  const char* name = spa_dict_lookup(props, PW_KEY_PORT_NAME);
  if (name == nullptr) return "";
  const char* underscore = std::strrchr(name, '_');
  return underscore != nullptr ? underscore + 1 : name;
}

void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
              const spa_dict* props) {
  auto* a = static_cast<Attempt*>(data);
  if (props == nullptr) return;
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    if (name != nullptr && a->target == name && a->target_node == SPA_ID_INVALID) {
      a->target_node = id;
    }
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    const char* node = spa_dict_lookup(props, PW_KEY_NODE_ID);
    const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
    if (node == nullptr || direction == nullptr) return;
    PortInfo port;
    port.node = static_cast<uint32_t>(std::strtoul(node, nullptr, 10));
    port.output = std::strcmp(direction, "out") == 0;
    port.channel = PortChannel(props);
    a->ports[id] = port;
  } else {
    return;
  }
  a->TryLink();
}

void OnGlobalRemove(void* data, uint32_t id) {
  auto* a = static_cast<Attempt*>(data);
  a->ports.erase(id);
  // The DSP node went away (daemon restart): end the attempt and look for it again.
  if (id == a->target_node) a->Quit();
}

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events events{};
  events.version = PW_VERSION_REGISTRY_EVENTS;
  events.global = &OnGlobal;
  events.global_remove = &OnGlobalRemove;
  return events;
}();

void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto* a = static_cast<Attempt*>(data);
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    if (error != nullptr) std::fprintf(stderr, "halvex-vis: capture stream: %s\n", error);
    a->Quit();
    return;
  }
  if (a->own_node == SPA_ID_INVALID) {
    const uint32_t id = pw_stream_get_node_id(a->stream.get());
    if (id != SPA_ID_INVALID) {
      a->own_node = id;
      a->TryLink();
    }
  }
}

void OnProcess(void* data) {
  auto* a = static_cast<Attempt*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(a->stream.get());
  if (buffer == nullptr) return;
  spa_buffer* b = buffer->buffer;
  if (b->n_datas > 0 && b->datas[0].data != nullptr && b->datas[0].chunk != nullptr) {
    const spa_data& d = b->datas[0];
    const ChunkSpan span = ChunkFrames(d.chunk->offset, d.chunk->size, d.maxsize);
    const auto* bytes = static_cast<const uint8_t*>(d.data) + span.offset;
    // Through a block on the stack: the chunk need not be aligned for StereoFrame, and this
    // thread must not allocate.
    StereoFrame block[kBlockFrames];
    for (size_t done = 0; done < span.frames;) {
      const size_t n = std::min(kBlockFrames, span.frames - done);
      std::memcpy(block, bytes + done * sizeof(StereoFrame), n * sizeof(StereoFrame));
      a->ring->Write(block, n);
      done += n;
    }
    a->audio_seen->store(true);
  }
  pw_stream_queue_buffer(a->stream.get(), buffer);
}

const pw_stream_events kStreamEvents = [] {
  pw_stream_events events{};
  events.version = 2;
  events.state_changed = &OnStateChanged;
  events.process = &OnProcess;
  return events;
}();

void OnTick(void* data, uint64_t) {
  auto* a = static_cast<Attempt*>(data);
  a->waited_ms += kTickMs;
  if (!a->running->load()) {
    a->Quit();
  } else if (a->linked.empty() && a->waited_ms >= kTargetWaitMs) {
    a->Quit();  // no node of that name with ports to link to
  }
}

}  // namespace

bool RunOnce(const std::string& node_target, AudioRing& ring, std::atomic<bool>& audio_seen,
             std::atomic<bool>& running, CaptureLoopSlot& slot) {
  const PwMainLoopPtr loop(pw_main_loop_new(nullptr));
  if (!loop) return false;
  if (!slot.Publish(loop.get(), running)) return false;
  // On every way out, once the attempt's handles are gone and before the loop is: the loop is
  // unpublished and the next attempt starts without audio seen.
  struct EndOfAttempt {
    CaptureLoopSlot& slot;
    std::atomic<bool>& audio_seen;
    ~EndOfAttempt() {
      slot.Clear();
      audio_seen.store(false);
    }
  } end_of_attempt{slot, audio_seen};

  Attempt a;
  a.ring = &ring;
  a.loop = loop.get();
  a.audio_seen = &audio_seen;
  a.running = &running;
  a.target = node_target;

  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Music",
      PW_KEY_NODE_NAME, "halvex-vis", PW_KEY_NODE_DESCRIPTION, "Halvex visualizer",
      PW_KEY_TARGET_OBJECT, node_target.c_str(), PW_KEY_NODE_LATENCY, "2048/48000",
      // Linked by TryLink to the target's outputs, never by the session manager to a monitor.
      PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
  pw_loop* pl = pw_main_loop_get_loop(loop.get());
  // The stream takes ownership of the properties.
  a.stream.reset(pw_stream_new_simple(pl, "halvex-vis", props, &kStreamEvents, &a));
  if (!a.stream) return false;

  uint8_t pod_buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod_buffer, sizeof pod_buffer);
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = kRate;
  info.channels = 2;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

  // A simple stream connects to the server only in pw_stream_connect; the registry comes after.
  bool connected = pw_stream_connect(a.stream.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
                                     PW_STREAM_FLAG_MAP_BUFFERS, params, 1) >= 0;
  a.core = connected ? pw_stream_get_core(a.stream.get()) : nullptr;
  if (a.core != nullptr) a.registry.reset(pw_core_get_registry(a.core, PW_VERSION_REGISTRY, 0));
  if (a.registry) {
    pw_registry_add_listener(a.registry.get(), a.registry_listener.hook(), &kRegistryEvents, &a);
  }
  a.timer = PwLoopSource(pl, pw_loop_add_timer(pl, &OnTick, &a));
  timespec tick{0, kTickMs * 1000000L};
  if (a.timer) pw_loop_update_timer(pl, a.timer.get(), &tick, &tick, false);
  connected = connected && a.registry && a.timer;
  if (connected) pw_main_loop_run(loop.get());

  return audio_seen.load();
}

PipeWireCapture::PipeWireCapture() : PipeWireCapture(&RunOnce, &WaitWhileRunning) {}

PipeWireCapture::PipeWireCapture(CaptureAttempt attempt, CaptureWait wait)
    : attempt_(std::move(attempt)), wait_(std::move(wait)) {}

PipeWireCapture::~PipeWireCapture() { Stop(); }

bool PipeWireCapture::Start(const std::string& node_target, AudioRing& ring,
                            std::string& error) {
  pw_init(nullptr, nullptr);
  if (running_.exchange(true)) {
    error = "capture already running";
    return false;
  }
  gave_up_.store(false);
  thread_ = std::thread(&PipeWireCapture::Run, this, node_target, &ring);
  return true;
}

void PipeWireCapture::Stop() {
  if (running_.exchange(false)) loop_.Quit();
  if (thread_.joinable()) thread_.join();
}

void PipeWireCapture::Run(const std::string& node_target, AudioRing* ring) {
  int failures = 0;
  int wait_ms = kFirstWaitMs;
  if (!running_.load()) return;
  for (;;) {
    const bool ok = attempt_(node_target, *ring, audio_seen_, running_, loop_);
    if (!running_.load()) return;
    if (ok) {
      wait_ms = kFirstWaitMs;
      failures = 0;
    } else {
      if (++failures >= kMaxFailures) {
        gave_up_.store(true, std::memory_order_release);
        return;
      }
      wait_ms = std::min(2 * wait_ms, kLongestWaitMs);
    }
    wait_(wait_ms, running_);
    if (!running_.load()) return;
  }
}

}  // namespace halvex::vis
