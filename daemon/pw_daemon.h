// The daemon's PipeWire presence: the virtual sink "halvex", the filter node "halvex_dsp" whose
// real-time callback runs the live Processor, the router, and the engine control the socket uses.
#pragma once

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/config_defaults.h"
#include "core/dsp/processor.h"
#include "daemon/engine_control.h"
#include "daemon/pw_router.h"
#include "daemon/rt_guard.h"

namespace halvex {

class PwDaemon final : public EngineControl {
 public:
  PwDaemon();
  ~PwDaemon() override;
  PwDaemon(const PwDaemon&) = delete;
  PwDaemon& operator=(const PwDaemon&) = delete;

  // Start-up: validates and installs the first processor; same as SwapProcessor.
  bool Configure(const ProcessorConfig& config, std::string& error);
  // Validates, builds and configures a new processor off the audio thread, then publishes it.
  // A replaced processor is destroyed only once the data thread has provably left it.
  bool SwapProcessor(const ProcessorConfig& config, std::string& error);

  void SetEnabled(bool enabled) override;
  bool IsEnabled() const override;
  bool Reconfigure(const ProcessorConfig& config, std::string& error) override;
  ProcessorConfig CurrentConfig() const override;
  // Only devices whose names could be selected, descriptions cut on a character boundary.
  std::vector<AudioDevice> Devices() const override;
  std::string ActiveDevice() const override;

  // Whole PipeWire lifetime, blocking in the main loop until SIGINT or SIGTERM.
  // False when set-up failed or the connection to the server was lost (said on stderr).
  bool Run();

  // One graph cycle as the data thread runs it. Null inputs read as silence; null outputs are
  // skipped; every other output is written. Public so tests can drive it without a graph.
  void ProcessCycle(const float* in_left, const float* in_right, float* out_left,
                    float* out_right, uint32_t frames) noexcept;

  // The processor a data cycle is inside right now, or null (diagnostics and tests).
  const Processor* RunningProcessor() const { return running_.load(); }

  // Longest a swap waits for the data thread to leave a retired processor before giving up
  // on freeing it (it is then leaked rather than freed under the data thread).
  static constexpr int64_t kRetireWaitMs = 2000;
  // Cycles are processed in slices of this many frames (the size of the zero and scratch
  // blocks that stand in for missing port buffers).
  static constexpr uint32_t kSliceFrames = 1024;
  static constexpr uint32_t kEngineRate = 48000;

 private:
  static void OnProcess(void* data, spa_io_position* position);
  static void OnFilterStateChanged(void* data, pw_filter_state old_state,
                                   pw_filter_state state, const char* error);
  static void OnMonitor(void* data, uint64_t expirations);
  static void OnSignal(void* data, int signal);
  static void OnRoundtripTimeout(void* data, uint64_t expirations);
  static void OnCoreError(void* data, uint32_t id, int seq, int res, const char* message);
  static void OnCoreDone(void* data, uint32_t id, int seq);
  static void OnSinkBound(void* data, uint32_t global_id);
  static void OnSinkError(void* data, int seq, int res, const char* message);

  bool CreateSink();
  bool AddPorts();
  bool SetupAndRun();
  void Teardown();
  void ReportRelief();
  void Fail(const char* what, const char* detail);
  void Roundtrip();
  // Waits (bounded) until the data thread is not inside `processor`.
  bool WaitUntilLeft(const Processor* processor) const;
  // Data thread: the live processor, published as running before it is used.
  Processor* EnterProcessor() noexcept;

  // Main-loop side.
  pw_main_loop* main_loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  PwRouter router_;
  pw_proxy* sink_proxy_ = nullptr;
  pw_filter* filter_ = nullptr;
  std::array<void*, 4> ports_{};  // input FL, input FR, output FL, output FR
  spa_source* monitor_timer_ = nullptr;
  spa_source* roundtrip_timer_ = nullptr;
  std::array<spa_source*, 2> signal_sources_{};
  spa_hook core_listener_{};
  spa_hook sink_listener_{};
  spa_hook filter_listener_{};
  bool failed_ = false;
  bool stopping_ = false;
  bool filter_connected_ = false;
  int roundtrip_seq_ = -1;
  bool quantum_warned_ = false;
  bool rate_warned_ = false;
  uint32_t traced_quantum_ = 0;
  uint64_t reported_bursts_ = 0;

  // Shared with the data thread: atomics and fixed buffers only.
  std::atomic<uint32_t> last_quantum_{0};
  std::atomic<uint32_t> last_rate_{0};
  RtGuard guard_;
  std::atomic<bool> enabled_{false};
  std::atomic<Processor*> live_{nullptr};
  // The processor the data thread is inside right now (null between cycles).
  std::atomic<Processor*> running_{nullptr};
  std::array<float, kSliceFrames> zeros_{};
  std::array<float, kSliceFrames> scratch_left_{};
  std::array<float, kSliceFrames> scratch_right_{};

  // Control side, guarded by mutex_.
  mutable std::mutex mutex_;
  std::unique_ptr<Processor> current_;
  std::unique_ptr<Processor> retired_;
  ProcessorConfig config_;
};

}  // namespace halvex
