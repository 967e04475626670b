// The daemon and the visualizer as systemd user units, driven through `systemctl --user`.
#pragma once

#include <memory>
#include <string>

#include "tray/tray_presenter.h"

namespace halvex {

class SystemdUserService final : public ServiceControl {
 public:
  // How long a systemctl call is waited for, in polls of kPollMs.
  static constexpr int kPollMs = 20;
  static constexpr int kPolls = 250;

  explicit SystemdUserService(std::string unit) : unit_(std::move(unit)) {}

  bool Start(std::string& error) override { return RunOn("start", unit_, error); }
  bool Restart(std::string& error) override { return RunOn("restart", unit_, error); }
  // A program runs as the user unit of the same name.
  bool Launch(const std::string& program, std::string& error) override {
    return RunOn("start", program, error);
  }

 private:
  // Runs "systemctl --user VERB UNIT" and waits for it. A call that outlives the wait is left
  // running and reaped by a GLib child watch on the default main context when it ends.
  bool RunOn(const char* verb, const std::string& unit, std::string& error);

  std::string unit_;
};

std::unique_ptr<ServiceControl> MakeSystemdUserService(std::string unit);

// The executable `name` would run as from PATH (an absolute path), or "" when there is none.
std::string FindOnPath(const std::string& name);

}  // namespace halvex
