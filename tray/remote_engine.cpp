#include "tray/remote_engine.h"

#include <chrono>
#include <string_view>

#include "core/ipc/control_words.h"
#include "core/ipc/socket_client.h"

namespace halvex {
namespace {

// A command word and what follows it.
std::string Line(std::string_view command, std::string_view rest) {
  return std::string(command) + " " + std::string(rest);
}

// SocketClient's reply when the daemon accepted but neither answered nor closed in time.
constexpr const char* kTimedOutReply = "ERR no reply from halvexd (timed out)";
// After a time-out every exchange fails at once for this long: one refresh asks for status and
// devices, and a user action is followed by a refresh, so each would otherwise wait again.
constexpr std::chrono::milliseconds kHoldOff{3000};

class RemoteEngine final : public EngineRemote {
 public:
  explicit RemoteEngine(std::string socket_path) : socket_path_(std::move(socket_path)) {}

  bool Fetch(EngineStatus& status) override {
    if (!ParseStatusLine(Exchange(command::kStatus), status)) return false;
    ParseLatencyLine(Exchange(command::kLatency), status.latency);
    return true;
  }

  bool SetEnabled(bool on, std::string& error) override {
    return Send(on ? command::kOn : command::kOff, error);
  }

  bool SetParam(const std::string& key, const std::string& value, std::string& error) override {
    return Send(Line(command::kSet, key + " " + value), error);
  }

  bool Reload(std::string& error) override { return Send(command::kReload, error); }

  std::vector<AudioDevice> Devices() override {
    return ParseDeviceList(Exchange(command::kDevices));
  }

  void FetchPresets(PresetState& state) override {
    PresetState fresh;
    fresh.known = ParsePresetList(Exchange(Line(command::kPreset, preset_verb::kList)), fresh) &&
                  ParseCurrentPreset(Exchange(command::kPreset), fresh) &&
                  ParseBindingList(Exchange(Line(command::kPreset, preset_verb::kBindings)), fresh);
    if (fresh.known) fresh.active = ParseActiveDevice(Exchange(command::kDevices));
    state = std::move(fresh);
  }

  bool PresetCommand(const std::string& args, std::string& error) override {
    return Send(Line(command::kPreset, args), error);
  }

 private:
  using Clock = std::chrono::steady_clock;

  std::string Exchange(std::string_view command) {
    if (Clock::now() < stalled_until_) return kTimedOutReply;
    std::string reply = SocketClient::SendCommand(socket_path_, std::string(command));
    if (reply == kTimedOutReply) stalled_until_ = Clock::now() + kHoldOff;
    return reply;
  }

  bool Send(std::string_view command, std::string& error) {
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
