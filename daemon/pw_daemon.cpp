#include "daemon/pw_daemon.h"

#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <thread>

#include "core/config/config_validation.h"
#include "core/dsp/kit/engine_rate.h"
#include "daemon/routing_policy.h"

namespace halvex {
namespace {

// Longest the shutdown waits for the server to confirm the final requests.
constexpr int kRoundtripTimeoutMs = 1000;
constexpr int kMonitorPeriodS = 2;
constexpr double kTightBudgetMs = 8.0;
constexpr int kLongestQuantum = 8192;

struct PortSpec {
  pw_direction direction;
  const char* name;
  const char* channel;
};
constexpr PortSpec kPorts[RealtimeState::kPortCount] = {{PW_DIRECTION_INPUT, "input_FL", "FL"},
                                {PW_DIRECTION_INPUT, "input_FR", "FR"},
                                {PW_DIRECTION_OUTPUT, "output_FL", "FL"},
                                {PW_DIRECTION_OUTPUT, "output_FR", "FR"}};

// What the node asks of its graph for a quantum. "node.force-quantum" forces it for this
// node's driver group only, and only while the node runs; the server-wide setting is never
// touched, so nothing stays forced after we are gone. A quantum of 0 forces nothing (the
// server reads "0" as not forced) and asks for the longest latency the graph allows: the
// graph runs at the shortest any node asks for, so the players decide. (A key cannot be
// taken back from a running node, and a latency of 0 would be read as the shortest.)
struct QuantumProps {
  explicit QuantumProps(int32_t quantum) {
    std::snprintf(force, sizeof force, "%d", quantum);
    std::snprintf(latency, sizeof latency, "%d/%d", quantum != 0 ? quantum : kLongestQuantum,
                  static_cast<int>(kEngineRate));
    items[0] = SPA_DICT_ITEM_INIT("node.force-quantum", force);
    items[1] = SPA_DICT_ITEM_INIT("node.latency", latency);
  }
  QuantumProps(const QuantumProps&) = delete;
  QuantumProps& operator=(const QuantumProps&) = delete;
  char force[16];
  char latency[32];
  spa_dict_item items[2];
  spa_dict dict = SPA_DICT_INIT(items, 2);
};

// Says what failed, once, and fails.
bool SetupFailed(const char* what, const char* detail = nullptr) {
  std::fprintf(stderr, "halvexd: %s%s%s\n", what, detail != nullptr ? ": " : "",
               detail != nullptr ? detail : "");
  return false;
}

}  // namespace

PwDaemon::PwDaemon() = default;

PwDaemon::~PwDaemon() = default;

bool PwDaemon::Configure(const ProcessorConfig& config, std::string& error) {
  return SwapProcessor(config, error);
}

bool PwDaemon::SwapProcessor(const ProcessorConfig& config, std::string& error) {
  if (!ValidateConfig(config, error)) return false;
  std::unique_ptr<Processor> fresh;
  try {
    fresh = std::make_unique<Processor>();
    fresh->Configure(config);
  } catch (const std::bad_alloc&) {
    // The processor in force keeps playing; the control thread must not die of it.
    error = "cannot build the engine: out of memory";
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = fresh.get();
    owned_.push_back(std::move(fresh));
    config_ = config;
    // Published under the lock so concurrent swaps publish in the order they install.
    rt_.processors.Publish(current_);
  }
  FreeRetired();
  RequestNodeUpdate();
  return true;
}

void PwDaemon::FreeRetired() {
  std::vector<std::unique_ptr<Processor>> retired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = owned_.begin(); it != owned_.end();) {
      if (it->get() != current_ && !rt_.processors.Holds(it->get())) {
        retired.push_back(std::move(*it));
        it = owned_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Destroyed here, after the lock: freeing a processor is not quick.
}

size_t PwDaemon::OwnedProcessors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return owned_.size();
}

void PwDaemon::SetEnabled(bool enabled) {
  rt_.enabled.store(enabled, std::memory_order_relaxed);
  RequestNodeUpdate();
}

EngineLatency PwDaemon::Latency() const {
  EngineLatency latency;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ != nullptr && IsEnabled()) {
      latency.engine_frames = static_cast<uint32_t>(current_->Latency());
    }
  }
  latency.quantum = rt_.last_quantum.load(std::memory_order_relaxed);
  latency.rate = rt_.last_rate.load(std::memory_order_relaxed);
  return latency;
}

void PwDaemon::RequestNodeUpdate() {
  std::lock_guard<std::mutex> lock(node_mutex_);
  // Signalling an event is safe from any thread.
  if (node_event_ != nullptr) pw_loop_signal_event(node_loop_, node_event_);
}

void PwDaemon::OnNodeUpdate(void* data, uint64_t) { static_cast<PwDaemon*>(data)->UpdateNode(); }

void PwDaemon::UpdateNode() {
  if (session_ == nullptr || !session_->filter) return;
  const int32_t quantum = CurrentConfig().quantum;
  if (quantum != told_quantum_) {
    const QuantumProps props(quantum);
    if (pw_filter_update_properties(session_->filter.get(), nullptr, &props.dict) >= 0) {
      told_quantum_ = quantum;
    }
  }
  const uint32_t frames = Latency().engine_frames;
  if (frames == told_latency_) return;
  // Players add this to what the graph reports downstream, so they keep pictures in sync.
  spa_process_latency_info info{};
  info.rate = frames;
  std::array<uint8_t, 256> buffer{};
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer.data(), buffer.size());
  const spa_pod* param = spa_process_latency_build(&builder, SPA_PARAM_ProcessLatency, &info);
  if (param == nullptr || pw_filter_update_params(session_->filter.get(), nullptr, &param, 1) < 0) {
    return;
  }
  told_latency_ = frames;
}

bool PwDaemon::IsEnabled() const { return rt_.enabled.load(std::memory_order_relaxed); }

bool PwDaemon::Reconfigure(const ProcessorConfig& config, std::string& error) {
  const std::string previous = CurrentConfig().output_device;
  const bool ok = SwapProcessor(config, error);
  if (ok && config.output_device != previous) router_.SetPreferred(config.output_device);
  return ok;
}

ProcessorConfig PwDaemon::CurrentConfig() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return config_;
}

std::vector<AudioDevice> PwDaemon::Devices() const { return ListableDevices(router_.Devices()); }

std::string PwDaemon::ActiveDevice() const { return router_.ActiveTarget(); }

bool PwDaemon::Run() {
  pw_init(nullptr, nullptr);
  bool ok = false;
  {
    Session session;
    session.main_loop.reset(pw_main_loop_new(nullptr));
    if (!session.main_loop) {
      std::fprintf(stderr, "halvexd: pw_main_loop_new failed\n");
    } else {
      session_ = &session;
      ok = SetupAndRun(session);
      {
        std::lock_guard<std::mutex> lock(node_mutex_);
        node_event_ = nullptr;
        node_loop_ = nullptr;
      }
      // The router's proxies and listeners hang off the core, so they go before the session.
      router_.Stop();
      session_ = nullptr;
    }
  }
  pw_deinit();
  return ok;
}

bool PwDaemon::CreateSink(Session& session) {
  pw_loop* loop = pw_main_loop_get_loop(session.main_loop.get());
  session.context.reset(pw_context_new(loop, nullptr, 0));
  if (!session.context) return SetupFailed("cannot create a PipeWire context", std::strerror(errno));
  session.core.reset(pw_context_connect(session.context.get(), nullptr, 0));
  if (!session.core) {
    return SetupFailed("cannot connect to the PipeWire server", std::strerror(errno));
  }
  static const pw_core_events core_events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = &PwDaemon::OnCoreError;
    events.done = &PwDaemon::OnCoreDone;
    return events;
  }();
  pw_core_add_listener(session.core.get(), session.core_listener.hook(), &core_events, this);

  const PwPropertiesPtr props(pw_properties_new(
      "media.class", "Audio/Sink", "node.name", "halvex", "node.description",
      "Halvex Stereo Widener", "node.virtual", "true", "factory.name",
      "support.null-audio-sink", "audio.position", "FL,FR", "monitor.channel-volumes", "true",
      "monitor.passthrough", "true", "node.group", "halvex_group", "priority.session", "0",
      nullptr));
  session.sink.reset(static_cast<pw_proxy*>(pw_core_create_object(
      session.core.get(), "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0)));
  if (!session.sink) return SetupFailed("cannot create the virtual sink", std::strerror(errno));
  static const pw_proxy_events sink_events = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.bound = &PwDaemon::OnSinkBound;
    events.error = &PwDaemon::OnSinkError;
    return events;
  }();
  pw_proxy_add_listener(session.sink.get(), session.sink_listener.hook(), &sink_events, this);
  return true;
}

bool PwDaemon::CreateFilter(Session& session) {
  // Two listeners: the data thread's process callback sees only the real-time state, the
  // main loop's state callback the daemon.
  static const pw_filter_events process_events = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.process = &RealtimeState::OnProcess;
    return events;
  }();
  static const pw_filter_events state_events = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = &PwDaemon::OnFilterStateChanged;
    return events;
  }();
  pw_properties* props = pw_properties_new(
      "media.type", "Audio", "media.category", "Duplex", "media.role", "DSP", "node.name",
      "halvex_dsp", "node.description", "Halvex DSP", "node.group", "halvex_group",
      "node.passive", "true", "node.autoconnect", "false", nullptr);
  const QuantumProps quantum(CurrentConfig().quantum);
  pw_properties_update(props, &quantum.dict);
  told_quantum_ = CurrentConfig().quantum;
  // The engine is tuned for one rate.
  pw_properties_setf(props, "node.rate", "1/%d", static_cast<int>(kEngineRate));
  // Takes the properties, whatever the outcome.
  session.filter.reset(pw_filter_new_simple(pw_main_loop_get_loop(session.main_loop.get()),
                                            "halvex_dsp", props, &process_events, &rt_));
  if (!session.filter) return SetupFailed("cannot create the filter node", std::strerror(errno));
  pw_filter_add_listener(session.filter.get(), session.filter_listener.hook(), &state_events,
                         this);
  return true;
}

bool PwDaemon::AddPorts(Session& session) {
  bool ok = true;
  for (size_t i = 0; i < rt_.ports.size(); ++i) {
    pw_properties* props =
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                          kPorts[i].name, PW_KEY_AUDIO_CHANNEL, kPorts[i].channel, nullptr);
    // The filter owns its ports (and takes the properties): they go with it.
    rt_.ports[i] = pw_filter_add_port(session.filter.get(), kPorts[i].direction,
                                      PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0, props, nullptr, 0);
    if (rt_.ports[i] == nullptr) {
      SetupFailed("cannot add a port to the filter node", kPorts[i].name);
      ok = false;
    }
  }
  return ok;
}

bool PwDaemon::SetupAndRun(Session& session) {
  pw_loop* loop = pw_main_loop_get_loop(session.main_loop.get());
  if (!CreateSink(session) || !CreateFilter(session) || !AddPorts(session)) return false;

  const int signals[2] = {SIGINT, SIGTERM};
  for (size_t i = 0; i < session.signals.size(); ++i) {
    session.signals[i] = PwLoopSource(loop, pw_loop_add_signal(loop, signals[i], &PwDaemon::OnSignal, this));
    if (!session.signals[i]) return SetupFailed("cannot watch the stop signals", std::strerror(errno));
  }

  const int connected = pw_filter_connect(session.filter.get(), PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
  if (connected < 0) return SetupFailed("cannot connect the filter node", spa_strerror(connected));

  if (!router_.Start(session.core.get(), loop, CurrentConfig().output_device)) {
    return SetupFailed("cannot start output routing (no registry)");
  }

  session.node_update = PwLoopSource(loop, pw_loop_add_event(loop, &PwDaemon::OnNodeUpdate, this));
  if (!session.node_update) return SetupFailed("cannot add the node update event", std::strerror(errno));
  {
    std::lock_guard<std::mutex> lock(node_mutex_);
    node_loop_ = loop;
    node_event_ = session.node_update.get();
  }
  UpdateNode();

  session.monitor_timer = PwLoopSource(loop, pw_loop_add_timer(loop, &PwDaemon::OnMonitor, this));
  if (!session.monitor_timer) return SetupFailed("cannot add the monitor timer", std::strerror(errno));
  timespec period{kMonitorPeriodS, 0};
  pw_loop_update_timer(loop, session.monitor_timer.get(), &period, &period, false);

  pw_main_loop_run(session.main_loop.get());
  // From here on the filter going away is our own doing.
  stopping_ = true;
  router_.Stop();
  if (!failed_) Roundtrip(session);
  return !failed_;
}

void PwDaemon::Roundtrip(Session& session) {
  pw_loop* loop = pw_main_loop_get_loop(session.main_loop.get());
  const PwLoopSource timer(loop, pw_loop_add_timer(loop, &PwDaemon::OnRoundtripTimeout, this));
  if (!timer) return;  // no bound on the wait: better not to wait at all
  timespec timeout{0, kRoundtripTimeoutMs * 1000000L};
  timespec none{0, 0};
  pw_loop_update_timer(loop, timer.get(), &timeout, &none, false);
  roundtrip_seq_ = pw_core_sync(session.core.get(), PW_ID_CORE, 0);
  pw_main_loop_run(session.main_loop.get());
  roundtrip_seq_ = -1;
}

void PwDaemon::Fail(const char* what, const char* detail) {
  if (failed_ || stopping_) return;
  failed_ = true;
  SetupFailed(what, detail);
  if (session_ != nullptr) pw_main_loop_quit(session_->main_loop.get());
}

void PwDaemon::OnFilterStateChanged(void* data, pw_filter_state, pw_filter_state state,
                                    const char* error) {
  auto* self = static_cast<PwDaemon*>(data);
  switch (state) {
    case PW_FILTER_STATE_ERROR:
      self->Fail("lost the PipeWire connection (filter error)", error);
      break;
    case PW_FILTER_STATE_UNCONNECTED:
      if (self->filter_connected_) {
        self->Fail("lost the PipeWire connection (filter unconnected)", error);
      }
      break;
    case PW_FILTER_STATE_PAUSED:
    case PW_FILTER_STATE_STREAMING:
      if (!self->filter_connected_) {
        self->filter_connected_ = true;
        self->router_.SetOwnNodes(kNoId, pw_filter_get_node_id(self->session_->filter.get()));
      }
      break;
    default:
      break;
  }
}

void PwDaemon::OnCoreError(void* data, uint32_t id, int, int res, const char* message) {
  auto* self = static_cast<PwDaemon*>(data);
  if (id == PW_ID_CORE && res == -EPIPE) {
    self->Fail("lost the connection to the PipeWire server", message);
  }
}

void PwDaemon::OnCoreDone(void* data, uint32_t id, int seq) {
  auto* self = static_cast<PwDaemon*>(data);
  if (id == PW_ID_CORE && self->roundtrip_seq_ >= 0 && seq == self->roundtrip_seq_) {
    pw_main_loop_quit(self->session_->main_loop.get());
  }
}

void PwDaemon::OnRoundtripTimeout(void* data, uint64_t) {
  pw_main_loop_quit(static_cast<PwDaemon*>(data)->session_->main_loop.get());
}

void PwDaemon::OnSinkBound(void* data, uint32_t global_id) {
  static_cast<PwDaemon*>(data)->router_.SetOwnNodes(global_id, kNoId);
}

void PwDaemon::OnSinkError(void* data, int, int res, const char* message) {
  auto* self = static_cast<PwDaemon*>(data);
  std::fprintf(stderr, "halvexd: virtual sink error: %s (%s)\n",
               message != nullptr ? message : "", spa_strerror(res));
  self->Fail("cannot keep the virtual sink", nullptr);
}

void PwDaemon::OnSignal(void* data, int) {
  pw_main_loop_quit(static_cast<PwDaemon*>(data)->session_->main_loop.get());
}

void PwDaemon::OnMonitor(void* data, uint64_t) {
  auto* self = static_cast<PwDaemon*>(data);
  self->ReportRelief();
  self->FreeRetired();
  const uint32_t quantum = self->rt_.last_quantum.load(std::memory_order_relaxed);
  if (quantum != 0 && !self->quantum_warned_) {
    const double ms = quantum / kEngineRateD * 1000.0;
    if (ms < kTightBudgetMs) {
      std::fprintf(stderr, "halvexd: quantum %uf = %.1f ms \u2014 tight RT budget.\n", quantum, ms);
      self->quantum_warned_ = true;
    }
  }
  const uint32_t rate = self->rt_.last_rate.load(std::memory_order_relaxed);
  if (std::getenv("HALVEX_TRACE_ROUTING") != nullptr && quantum != self->traced_quantum_) {
    std::fprintf(stderr, "halvexd: cycle %u frames at %u Hz\n", quantum, rate);
    self->traced_quantum_ = quantum;
  }
  if (rate != 0 && rate != static_cast<uint32_t>(kEngineRate) && !self->rate_warned_) {
    std::fprintf(stderr, "halvexd: graph runs at %u Hz; the engine is tuned for %d Hz\n", rate,
                 static_cast<int>(kEngineRate));
    self->rate_warned_ = true;
  }
}

void PwDaemon::ReportRelief() {
  const uint64_t bursts = rt_.guard.bursts.load(std::memory_order_relaxed);
  if (bursts == reported_bursts_) return;
  reported_bursts_ = bursts;
  std::fprintf(stderr,
               "halvexd: real-time relief engaged (%llu bursts, %llu blocks passed through) "
               "\u2014 the graph stalled and the DSP gave way.\n",
               static_cast<unsigned long long>(bursts),
               static_cast<unsigned long long>(rt_.guard.passed_through.load()));
}

}  // namespace halvex
