#include "tray/remote_engine.h"

#include <chrono>

#include "core/ipc/socket_client.h"

namespace halvex {
namespace {

// SocketClient's reply when the daemon accepted but neither answered nor closed in time.
constexpr const char* kTimedOutReply = "ERR no reply from halvexd (timed out)";
// After a time-out every exchange fails at once for this long: one refresh asks for status and
// devices, and a user action is followed by a refresh, so each would otherwise wait again.
constexpr std::chrono::milliseconds kHoldOff{3000};

class RemoteEngine final : public EngineRemote {
 public:
  explicit RemoteEngine(std::string socket_path) : socket_path_(std::move(socket_path)) {}

  bool Fetch(EngineStatus& status) override {
    if (!ParseStatusLine(Exchange("status"), status)) return false;
    ParseLatencyLine(Exchange("latency"), status.latency);
    return true;
  }

  bool SetEnabled(bool on, std::string& error) override { return Send(on ? "on" : "off", error); }

  bool SetParam(const std::string& key, const std::string& value, std::string& error) override {
    return Send("set " + key + " " + value, error);
  }

  bool Reload(std::string& error) override { return Send("reload", error); }

  std::vector<AudioDevice> Devices() override { return ParseDeviceList(Exchange("devices")); }

  void FetchPresets(PresetState& state) override {
    PresetState fresh;
    fresh.known = ParsePresetList(Exchange("preset list"), fresh) &&
                  ParseCurrentPreset(Exchange("preset"), fresh) &&
                  ParseBindingList(Exchange("preset bindings"), fresh);
    if (fresh.known) fresh.active = ParseActiveDevice(Exchange("devices"));
    state = std::move(fresh);
  }

  bool PresetCommand(const std::string& args, std::string& error) override {
    return Send("preset " + args, error);
  }

 private:
  using Clock = std::chrono::steady_clock;

  std::string Exchange(const std::string& command) {
    if (Clock::now() < stalled_until_) return kTimedOutReply;
    std::string reply = SocketClient::SendCommand(socket_path_, command);
    if (reply == kTimedOutReply) stalled_until_ = Clock::now() + kHoldOff;
    return reply;
  }

  bool Send(const std::string& command, std::string& error) {
    const std::string reply = Exchange(command);
    if (reply.empty()) {
      error = "no reply from halvexd";
      return false;
    }
    if (reply.size() >= 2 && reply.compare(0, 2, "OK") == 0) return true;
    error = reply;
    return false;
  }

  std::string socket_path_;
  Clock::time_point stalled_until_{};  // in the past while exchanges go through
};

}  // namespace

std::unique_ptr<EngineRemote> MakeRemoteEngine(std::string socket_path) {
  return std::make_unique<RemoteEngine>(std::move(socket_path));
}

}  // namespace halvex
