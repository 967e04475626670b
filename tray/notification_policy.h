// Which desktop notification the tray shows, and when: what changed between two polls, how a start
// or restart it asked for turned out, a preset that a device binding loaded, an action that failed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/ipc/control_replies.h"
#include "core/ipc/preset_replies.h"

namespace halvex {

enum class NotifyLevel : int { Info = 0, Warning = 1 };

class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void Notify(NotifyLevel level, const std::string& title, const std::string& body) = 0;
};

// One notification: how urgent, and what it says. Every one carries the title kNoticeTitle.
struct Notice {
  NotifyLevel level;
  std::string body;
  bool operator==(const Notice&) const = default;
};

inline constexpr const char* kNoticeTitle = "halvex";

// The display label of an algorithm's protocol name (the name itself when the table has none).
std::string AlgorithmLabel(SpatialAlgorithm algorithm);

// The changes between two polls of a daemon seen before: gone, connected, processing switched
// (said first), another algorithm.
std::vector<Notice> ChangeNotices(const EngineStatus& before, const EngineStatus& now);

// "Starting the daemon" or "Restarting the daemon", as failures name the request.
std::string ServiceRequestName(bool restart);

// Once the daemon asked for answers: whether it processes, and whether processing had to be
// switched back on after the restart and was.
Notice SettledNotice(bool restart, bool processing, bool restored);

// An action that failed, named, with the text it got.
Notice FailureNotice(const std::string& what, const std::string& detail);

Notice ReloadedNotice();

// Says which preset a binding loaded for which device, once: the daemon loads it within a second
// of the device change, so it may show in force a poll after the device does. A preset loaded by
// hand on the same device is the user's own doing and not announced.
class BoundPresetWatch {
 public:
  // `before` and `now` are two successive polls; nothing is said unless both arrived.
  std::optional<Notice> Update(const PresetState& before, const PresetState& now);

 private:
  std::string awaiting_;  // the device whose bound preset has not shown up yet
};

}  // namespace halvex
