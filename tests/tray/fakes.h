// Stand-ins for the presenter's three collaborators that record what they are asked, and a
// presenter wired to them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config/config_params.h"
#include "tray/tray_presenter.h"

namespace halvex::test {

// A daemon in memory: `up` says whether it answers; `fail_with` makes every change fail.
class FakeEngine : public EngineRemote {
 public:
  bool up = true;
  EngineStatus state{true, true, DefaultConfig(), {}};
  std::vector<AudioDevice> devices;
  std::string fail_with;
  std::vector<std::string> commands;  // as the protocol would send them

  bool Fetch(EngineStatus& status) override {
    commands.push_back("status");
    status = up ? state : EngineStatus{};
    return up;
  }
  bool SetEnabled(bool on, std::string& error) override {
    return Change(on ? "on" : "off", error) && ((state.enabled = on), true);
  }
  bool SetParam(const std::string& key, const std::string& value, std::string& error) override {
    return Change("set " + key + " " + value, error) && ApplyParam(state.config, key, value, error);
  }
  bool Reload(std::string& error) override { return Change("reload", error); }
  std::vector<AudioDevice> Devices() override {
    commands.push_back("devices");
    return up ? devices : std::vector<AudioDevice>{};
  }
  // `presets` is what the daemon reports; a preset command only records itself.
  void FetchPresets(PresetState& out) override {
    commands.push_back("presets");
    out = up ? presets : PresetState{};
  }
  bool PresetCommand(const std::string& args, std::string& error) override {
    return Change("preset " + args, error);
  }

  PresetState presets;

 private:
  bool Change(const std::string& command, std::string& error) {
    commands.push_back(command);
    error = !up ? "ERR cannot reach halvexd" : fail_with;
    return up && fail_with.empty();
  }
};

class FakeNotifier : public Notifier {
 public:
  std::vector<Notice> notices;
  std::vector<std::string> titles;
  void Notify(NotifyLevel level, const std::string& title, const std::string& body) override {
    notices.push_back({level, body});
    titles.push_back(title);
  }
};

class FakeService : public ServiceControl {
 public:
  std::string error;  // non-empty: every call fails with it
  std::vector<std::string> calls;
  bool Start(std::string& e) override { return Call("start", e); }
  bool Restart(std::string& e) override { return Call("restart", e); }
  bool Launch(const std::string& program, std::string& e) override {
    return Call("launch " + program, e);
  }

 private:
  bool Call(const std::string& what, std::string& e) {
    calls.push_back(what);
    e = error;
    return error.empty();
  }
};

class Presenter : public ::testing::Test {
 protected:
  FakeEngine engine;
  FakeNotifier notifier;
  FakeService service;
  TrayPresenter presenter{engine, notifier, service};
};

// A daemon that binds "night" to the device "head" and falls back to "Day".
class PresetPresenter : public Presenter {
 protected:
  // One refresh with `device` active and `current` in force.
  void Show(const std::string& device, const std::string& current) {
    engine.presets.known = true;
    engine.presets.names = {"night", "Day"};
    engine.presets.devices = {{"head", "night"}};
    engine.presets.fallback = "Day";
    engine.presets.active = AudioDevice{device, device + " device", 0, 0, 0};
    engine.presets.current = current;
    presenter.Refresh();
  }
};

}  // namespace halvex::test
