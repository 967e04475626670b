#include "daemon/pw_daemon.h"

#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "core/config/config_validation.h"
#include "core/dsp/denormal_guard.h"
#include "daemon/routing_policy.h"

namespace halvex {
namespace {

int64_t SteadyNowNs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Longest the shutdown waits for the server to confirm the final requests.
constexpr int kRoundtripTimeoutMs = 1000;
constexpr int kMonitorPeriodS = 2;
constexpr double kTightBudgetMs = 8.0;

struct PortSpec {
  pw_direction direction;
  const char* name;
  const char* channel;
};
constexpr PortSpec kPorts[4] = {{PW_DIRECTION_INPUT, "input_FL", "FL"},
                                {PW_DIRECTION_INPUT, "input_FR", "FR"},
                                {PW_DIRECTION_OUTPUT, "output_FL", "FL"},
                                {PW_DIRECTION_OUTPUT, "output_FR", "FR"}};

}  // namespace

PwDaemon::PwDaemon() = default;

PwDaemon::~PwDaemon() {
  // The retired processor goes before the current one.
  retired_.reset();
  current_.reset();
}

bool PwDaemon::Configure(const ProcessorConfig& config, std::string& error) {
  return SwapProcessor(config, error);
}

bool PwDaemon::SwapProcessor(const ProcessorConfig& config, std::string& error) {
  if (!ValidateConfig(config, error)) return false;
  auto fresh = std::make_unique<Processor>();
  fresh->Configure(config);
  std::unique_ptr<Processor> expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    expired = std::move(retired_);
    retired_ = std::move(current_);
    current_ = std::move(fresh);
    config_ = config;
    // Published under the lock so concurrent swaps publish in the order they install.
    live_.store(current_.get());
  }
  // The expired processor stopped being live one swap ago, but a data cycle that picked it up
  // then may still be inside it.
  if (expired && !WaitUntilLeft(expired.get())) {
    std::fprintf(stderr, "halvexd: warning: data thread stuck in a processor; not freeing it\n");
    (void)expired.release();
  }
  return true;
}

bool PwDaemon::WaitUntilLeft(const Processor* processor) const {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetireWaitMs);
  while (running_.load() == processor) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

Processor* PwDaemon::EnterProcessor() noexcept {
  // Publish-then-recheck: once `running_` holds what `live_` still holds, no swap that
  // happened before the recheck can free it without seeing it in `running_`.
  Processor* processor = live_.load();
  for (;;) {
    running_.store(processor);
    Processor* again = live_.load();
    if (again == processor) return processor;
    processor = again;
  }
}

void PwDaemon::SetEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_relaxed); }

bool PwDaemon::IsEnabled() const { return enabled_.load(std::memory_order_relaxed); }

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

void PwDaemon::ProcessCycle(const float* in_left, const float* in_right, float* out_left,
                            float* out_right, uint32_t frames) noexcept {
  if (out_left == nullptr && out_right == nullptr) return;
  DenormalGuard denormals;
  const bool run = guard_.BeginBlock(SteadyNowNs());
  Processor* processor = nullptr;
  if (run && enabled_.load(std::memory_order_relaxed)) processor = EnterProcessor();

  for (uint32_t offset = 0; offset < frames; offset += kSliceFrames) {
    const uint32_t n = std::min(kSliceFrames, frames - offset);
    const float* l = in_left != nullptr ? in_left + offset : zeros_.data();
    const float* r = in_right != nullptr ? in_right + offset : zeros_.data();
    // A missing output still runs through the chain (and the ramp) so both channels stay
    // in step; its samples land in scratch.
    float* ol = out_left != nullptr ? out_left + offset : scratch_left_.data();
    float* orr = out_right != nullptr ? out_right + offset : scratch_right_.data();
    if (processor != nullptr) {
      for (uint32_t i = 0; i < n; ++i) {
        const StereoSample s = processor->ProcessFrame(l[i], r[i]);
        ol[i] = s.left;
        orr[i] = s.right;
      }
    } else {
      std::memmove(ol, l, n * sizeof(float));
      std::memmove(orr, r, n * sizeof(float));
    }
    guard_.SmoothTransition(ol, orr, n);
  }
  if (processor != nullptr) running_.store(nullptr);
  guard_.EndBlock(SteadyNowNs());
}

void PwDaemon::OnProcess(void* data, spa_io_position* position) {
  auto* self = static_cast<PwDaemon*>(data);
  if (position == nullptr) return;
  const auto frames = static_cast<uint32_t>(position->clock.duration);
  self->last_quantum_.store(frames, std::memory_order_relaxed);
  self->last_rate_.store(position->clock.rate.denom, std::memory_order_relaxed);
  auto* in_left = static_cast<const float*>(pw_filter_get_dsp_buffer(self->ports_[0], frames));
  auto* in_right = static_cast<const float*>(pw_filter_get_dsp_buffer(self->ports_[1], frames));
  auto* out_left = static_cast<float*>(pw_filter_get_dsp_buffer(self->ports_[2], frames));
  auto* out_right = static_cast<float*>(pw_filter_get_dsp_buffer(self->ports_[3], frames));
  self->ProcessCycle(in_left, in_right, out_left, out_right, frames);
}

bool PwDaemon::Run() {
  pw_init(nullptr, nullptr);
  bool ok = false;
  main_loop_ = pw_main_loop_new(nullptr);
  if (main_loop_ == nullptr) {
    std::fprintf(stderr, "halvexd: pw_main_loop_new failed\n");
  } else {
    ok = SetupAndRun();
  }
  Teardown();
  pw_deinit();
  return ok;
}

bool PwDaemon::CreateSink() {
  pw_loop* loop = pw_main_loop_get_loop(main_loop_);
  context_ = pw_context_new(loop, nullptr, 0);
  if (context_ == nullptr) return false;
  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) {
    std::fprintf(stderr, "halvexd: cannot connect to the PipeWire server: %s\n",
                 std::strerror(errno));
    return false;
  }
  static const pw_core_events core_events = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = &PwDaemon::OnCoreError;
    events.done = &PwDaemon::OnCoreDone;
    return events;
  }();
  pw_core_add_listener(core_, &core_listener_, &core_events, this);

  pw_properties* props = pw_properties_new(
      "media.class", "Audio/Sink", "node.name", "halvex", "node.description",
      "Halvex Stereo Widener", "node.virtual", "true", "factory.name",
      "support.null-audio-sink", "audio.position", "FL,FR", "monitor.channel-volumes", "true",
      "monitor.passthrough", "true", "node.group", "halvex_group", "priority.session", "0",
      nullptr);
  sink_proxy_ = static_cast<pw_proxy*>(pw_core_create_object(
      core_, "adapter", PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &props->dict, 0));
  pw_properties_free(props);
  if (sink_proxy_ == nullptr) return false;
  static const pw_proxy_events sink_events = [] {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.bound = &PwDaemon::OnSinkBound;
    events.error = &PwDaemon::OnSinkError;
    return events;
  }();
  pw_proxy_add_listener(sink_proxy_, &sink_listener_, &sink_events, this);
  return true;
}

bool PwDaemon::AddPorts() {
  bool ok = true;
  for (size_t i = 0; i < ports_.size(); ++i) {
    pw_properties* props =
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME,
                          kPorts[i].name, PW_KEY_AUDIO_CHANNEL, kPorts[i].channel, nullptr);
    ports_[i] = pw_filter_add_port(filter_, kPorts[i].direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS,
                                   0, props, nullptr, 0);
    ok = ok && ports_[i] != nullptr;
  }
  return ok;
}

bool PwDaemon::SetupAndRun() {
  pw_loop* loop = pw_main_loop_get_loop(main_loop_);
  if (!CreateSink()) return false;

  static const pw_filter_events filter_events = [] {
    pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.state_changed = &PwDaemon::OnFilterStateChanged;
    events.process = &PwDaemon::OnProcess;
    return events;
  }();
  pw_properties* props = pw_properties_new(
      "media.type", "Audio", "media.category", "Duplex", "media.role", "DSP", "node.name",
      "halvex_dsp", "node.description", "Halvex DSP", "node.group", "halvex_group",
      "node.passive", "true", "node.autoconnect", "false", "node.latency", "2048/48000",
      // Forces the quantum for this node's driver group only, and only while it runs; the
      // server-wide setting is never touched, so nothing stays forced after we are gone.
      "node.force-quantum", "2048",
      // The engine is tuned for 48 kHz.
      "node.rate", "1/48000", nullptr);
  filter_ = pw_filter_new_simple(loop, "halvex_dsp", props, &filter_events, this);
  if (filter_ == nullptr) return false;
  if (!AddPorts()) return false;

  signal_sources_[0] = pw_loop_add_signal(loop, SIGINT, &PwDaemon::OnSignal, this);
  signal_sources_[1] = pw_loop_add_signal(loop, SIGTERM, &PwDaemon::OnSignal, this);

  if (pw_filter_connect(filter_, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) return false;

  router_.Start(core_, loop, CurrentConfig().output_device);

  monitor_timer_ = pw_loop_add_timer(loop, &PwDaemon::OnMonitor, this);
  timespec period{kMonitorPeriodS, 0};
  pw_loop_update_timer(loop, monitor_timer_, &period, &period, false);

  pw_main_loop_run(main_loop_);
  // From here on the filter going away is our own doing.
  stopping_ = true;
  router_.Stop();
  if (!failed_) Roundtrip();
  return !failed_;
}

void PwDaemon::Roundtrip() {
  pw_loop* loop = pw_main_loop_get_loop(main_loop_);
  roundtrip_timer_ = pw_loop_add_timer(loop, &PwDaemon::OnRoundtripTimeout, this);
  timespec timeout{0, kRoundtripTimeoutMs * 1000000L};
  timespec none{0, 0};
  pw_loop_update_timer(loop, roundtrip_timer_, &timeout, &none, false);
  roundtrip_seq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  pw_main_loop_run(main_loop_);
  roundtrip_seq_ = -1;
  pw_loop_destroy_source(loop, roundtrip_timer_);
  roundtrip_timer_ = nullptr;
}

void PwDaemon::Teardown() {
  if (main_loop_ != nullptr) {
    pw_loop* loop = pw_main_loop_get_loop(main_loop_);
    if (monitor_timer_ != nullptr) pw_loop_destroy_source(loop, monitor_timer_);
    for (spa_source*& source : signal_sources_) {
      if (source != nullptr) pw_loop_destroy_source(loop, source);
      source = nullptr;
    }
    monitor_timer_ = nullptr;
  }
  if (filter_ != nullptr) {
    pw_filter_destroy(filter_);
    filter_ = nullptr;
  }
  if (sink_proxy_ != nullptr) {
    spa_hook_remove(&sink_listener_);
    pw_proxy_destroy(sink_proxy_);
    sink_proxy_ = nullptr;
  }
  if (core_ != nullptr) {
    spa_hook_remove(&core_listener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }
  if (context_ != nullptr) {
    pw_context_destroy(context_);
    context_ = nullptr;
  }
  if (main_loop_ != nullptr) {
    pw_main_loop_destroy(main_loop_);
    main_loop_ = nullptr;
  }
}

void PwDaemon::Fail(const char* what, const char* detail) {
  if (failed_ || stopping_) return;
  failed_ = true;
  std::fprintf(stderr, "halvexd: %s%s%s\n", what, detail != nullptr ? ": " : "",
               detail != nullptr ? detail : "");
  pw_main_loop_quit(main_loop_);
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
        self->router_.SetOwnNodes(kNoId, pw_filter_get_node_id(self->filter_));
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
    pw_main_loop_quit(self->main_loop_);
  }
}

void PwDaemon::OnRoundtripTimeout(void* data, uint64_t) {
  pw_main_loop_quit(static_cast<PwDaemon*>(data)->main_loop_);
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
  pw_main_loop_quit(static_cast<PwDaemon*>(data)->main_loop_);
}

void PwDaemon::OnMonitor(void* data, uint64_t) {
  auto* self = static_cast<PwDaemon*>(data);
  self->ReportRelief();
  const uint32_t quantum = self->last_quantum_.load(std::memory_order_relaxed);
  if (quantum != 0 && !self->quantum_warned_) {
    const double ms = quantum / 48000.0 * 1000.0;
    if (ms < kTightBudgetMs) {
      std::fprintf(stderr, "halvexd: quantum %uf = %.1f ms \u2014 tight RT budget.\n", quantum, ms);
      self->quantum_warned_ = true;
    }
  }
  const uint32_t rate = self->last_rate_.load(std::memory_order_relaxed);
  if (std::getenv("HALVEX_TRACE_ROUTING") != nullptr && quantum != self->traced_quantum_) {
    std::fprintf(stderr, "halvexd: cycle %u frames at %u Hz\n", quantum, rate);
    self->traced_quantum_ = quantum;
  }
  if (rate != 0 && rate != kEngineRate && !self->rate_warned_) {
    std::fprintf(stderr, "halvexd: graph runs at %u Hz; the engine is tuned for %u Hz\n", rate,
                 kEngineRate);
    self->rate_warned_ = true;
  }
}

void PwDaemon::ReportRelief() {
  const uint64_t bursts = guard_.bursts.load(std::memory_order_relaxed);
  if (bursts == reported_bursts_) return;
  reported_bursts_ = bursts;
  std::fprintf(stderr,
               "halvexd: real-time relief engaged (%llu bursts, %llu blocks passed through) "
               "\u2014 the graph stalled and the DSP gave way.\n",
               static_cast<unsigned long long>(bursts),
               static_cast<unsigned long long>(guard_.passed_through.load()));
}

}  // namespace halvex
