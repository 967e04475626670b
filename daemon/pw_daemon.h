// The daemon's PipeWire presence: the virtual sink "halvex", the filter node "halvex_dsp" whose
// real-time callback runs the live Processor, the router, and the engine control the socket uses.
// The data thread sees only the RealtimeState; everything else here is main-loop or control side.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "daemon/engine_control.h"
#include "core/pw/pw_handles.h"
#include "daemon/pw_router.h"
#include "daemon/realtime_state.h"

namespace halvex {

class PwDaemon final : public EngineControl {
 public:
  PwDaemon();
  ~PwDaemon() override;
  PwDaemon(const PwDaemon&) = delete;
  PwDaemon& operator=(const PwDaemon&) = delete;

  // Start-up: validates and installs the first processor; same as SwapProcessor.
  bool Configure(const ProcessorConfig& config, std::string& error);
  // Validates, builds and configures a new processor off the audio thread, then publishes it;
  // the data thread crosses over to it. Processors the data thread no longer holds are freed
  // here, never on the data thread.
  bool SwapProcessor(const ProcessorConfig& config, std::string& error);

  void SetEnabled(bool enabled) override;
  bool IsEnabled() const override;
  bool Reconfigure(const ProcessorConfig& config, std::string& error) override;
  ProcessorConfig CurrentConfig() const override;
  // Only devices whose names could be selected, descriptions cut on a character boundary.
  std::vector<AudioDevice> Devices() const override;
  std::string ActiveDevice() const override;
  // The heard processor's latency as of the last change (0 while off) and the last cycle.
  EngineLatency Latency() const override;
  std::vector<PlaybackStream> Streams() const override { return router_.Streams(); }
  void SetBypassApps(const std::vector<std::string>& apps) override {
    router_.SetBypassApps(apps);
  }

  // Whole PipeWire lifetime, blocking in the main loop until SIGINT or SIGTERM.
  // False when set-up failed or the connection to the server was lost (said on stderr).
  bool Run();

  // One graph cycle as the data thread runs it (see RealtimeState::ProcessCycle). Public so
  // tests can drive it without a graph.
  void ProcessCycle(const float* in_left, const float* in_right, float* out_left,
                    float* out_right, uint32_t frames) noexcept {
    rt_.ProcessCycle(in_left, in_right, out_left, out_right, frames);
  }

  // The processor the data thread plays now (null: plain), and how many processors are
  // still owned (the live one and those the data thread may hold). For tests.
  const Processor* HeardProcessor() const { return rt_.processors.Heard(); }
  size_t OwnedProcessors() const;
  // Frees the processors the data thread has let go; the monitor timer calls it too, so a
  // finished cross-over does not wait for the next change to free its old processor.
  void FreeRetired();

 private:
  // The PipeWire objects of one Run, declared in the order they are made.
  struct Session {
    PwMainLoopPtr main_loop;
    PwContextPtr context;
    PwCorePtr core;
    PwListener core_listener;
    PwProxyPtr<pw_proxy> sink;
    PwListener sink_listener;
    PwFilterPtr filter;
    PwListener filter_listener;
    std::array<PwLoopSource, 2> signals;
    PwLoopSource monitor_timer;
    // Signalled from any thread when what the node tells the graph may have changed.
    PwLoopSource node_update;
  };

  static void OnFilterStateChanged(void* data, pw_filter_state old_state,
                                   pw_filter_state state, const char* error);
  static void OnMonitor(void* data, uint64_t expirations);
  static void OnSignal(void* data, int signal);
  static void OnNodeUpdate(void* data, uint64_t count);
  static void OnRoundtripTimeout(void* data, uint64_t expirations);
  static void OnCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void OnCoreDone(void* data, uint32_t id, int seq);
  static void OnSinkBound(void* data, uint32_t global_id);
  static void OnSinkError(void* data, int seq, int res, const char* message);

  bool CreateSink(Session& session);
  bool CreateFilter(Session& session);
  bool AddPorts(Session& session);
  bool SetupAndRun(Session& session);
  void ReportRelief();
  // Main loop: tells the graph the engine's latency when it changed.
  void UpdateNode();
  // Any thread: has the main loop run UpdateNode (nothing outside Run).
  void RequestNodeUpdate();
  void Fail(const char* what, const char* detail);
  void Roundtrip(Session& session);

  // Main-loop side. The session exists only inside Run.
  Session* session_ = nullptr;
  PwRouter router_;
  bool failed_ = false;
  bool stopping_ = false;
  bool filter_connected_ = false;
  int roundtrip_seq_ = -1;
  bool quantum_warned_ = false;
  bool rate_warned_ = false;
  uint32_t traced_quantum_ = 0;
  uint64_t reported_bursts_ = 0;
  // What the node last told the graph; UINT32_MAX: nothing yet.
  uint32_t told_latency_ = UINT32_MAX;
  int32_t told_quantum_ = -1;

  // What the data thread may touch, and the only thing its callback is given.
  RealtimeState rt_;

  // Control side, guarded by mutex_.
  mutable std::mutex mutex_;
  // The live processor and those the data thread may still hold (at most four).
  std::vector<std::unique_ptr<Processor>> owned_;
  Processor* current_ = nullptr;
  ProcessorConfig config_;

  // Guards the node-update event against Run ending while another thread signals it.
  std::mutex node_mutex_;
  pw_loop* node_loop_ = nullptr;
  spa_source* node_event_ = nullptr;
};

}  // namespace halvex
