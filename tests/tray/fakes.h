// Stand-ins for the presenter's three collaborators that record what they are asked.
#pragma once

#include <string>
#include <vector>

#include "core/config/config_params.h"
#include "tray/tray_presenter.h"

namespace halvex::test {

// A daemon in memory: `up` says whether it answers; commands are kept as the protocol would send.
class FakeEngine : public EngineRemote {
 public:
  bool up = true;
  EngineStatus state{true, true, DefaultConfig()};
  std::vector<AudioDevice> devices;
  std::string fail_with;  // non-empty: every command that changes something fails with it
  std::vector<std::string> commands;

  bool Fetch(EngineStatus& status) override {
    commands.push_back("status");
    status = up ? state : EngineStatus{};
    return up;
  }
  bool SetEnabled(bool on, std::string& error) override {
    commands.push_back(on ? "on" : "off");
    if (!Changes(error)) return false;
    state.enabled = on;
    return true;
  }
  bool SetParam(const std::string& key, const std::string& value, std::string& error) override {
    commands.push_back("set " + key + " " + value);
    return Changes(error) && ApplyParam(state.config, key, value, error);
  }
  bool Reload(std::string& error) override {
    commands.push_back("reload");
    return Changes(error);
  }
  std::vector<AudioDevice> Devices() override {
    commands.push_back("devices");
    return up ? devices : std::vector<AudioDevice>{};
  }

 private:
  bool Changes(std::string& error) {
    if (!up) error = "ERR cannot reach halvexd (is it running? /run/halvexd.sock)";
    else if (!fail_with.empty()) error = fail_with;
    return up && fail_with.empty();
  }
};

struct Notice {
  NotifyLevel level;
  std::string title;
  std::string body;
  bool operator==(const Notice&) const = default;
};

class FakeNotifier : public Notifier {
 public:
  std::vector<Notice> notices;
  void Notify(NotifyLevel level, const std::string& title, const std::string& body) override {
    notices.push_back({level, title, body});
  }
  std::vector<std::string> Bodies() const {
    std::vector<std::string> bodies;
    for (const Notice& n : notices) bodies.push_back(n.body);
    return bodies;
  }
};

class FakeService : public ServiceControl {
 public:
  bool ok = true;
  std::string error_text = "systemctl --user start halvexd failed (is the unit installed?)";
  std::vector<std::string> calls;
  bool Start(std::string& error) override { return Call("start", error); }
  bool Restart(std::string& error) override { return Call("restart", error); }
  bool Launch(const std::string& program, std::string& error) override {
    return Call("launch " + program, error);
  }

 private:
  bool Call(const std::string& what, std::string& error) {
    calls.push_back(what);
    if (!ok) error = error_text;
    return ok;
  }
};

}  // namespace halvex::test
