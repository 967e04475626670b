#include "tray/status_parser.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>

#include "core/config/config_params.h"

namespace halvex {
namespace {

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return pieces;
    start = end + 1;
  }
}

// Leading base-10 digits with an optional sign; 0 when there are none. Saturates rather than wraps.
int32_t LeadingInt(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

}  // namespace

bool ParseStatusLine(const std::string& line, EngineStatus& status) {
  status = EngineStatus{};
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "OK") return false;
  status.reachable = true;
  std::string ignored;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == word.size()) continue;
    const std::string key = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    if (key == "enabled") {
      status.enabled = value == "1";
    } else {
      ApplyParam(status.config, key, value, ignored);
    }
  }
  return true;
}

std::vector<AudioDevice> ParseDeviceList(const std::string& line) {
  std::vector<AudioDevice> devices;
  const std::vector<std::string> pieces = SplitAt(line, '\t');
  if (pieces[0].size() < 10 || pieces[0].compare(0, 10, "OK devices") != 0) return devices;
  for (size_t i = 1; i < pieces.size(); ++i) {
    const std::vector<std::string> fields = SplitAt(pieces[i], '|');
    if (fields.size() < 4 || fields[0].empty()) continue;
    AudioDevice device;
    device.name = fields[0];
    device.description = fields[1];
    device.priority = LeadingInt(fields[2]);
    devices.push_back(std::move(device));
  }
  return devices;
}

}  // namespace halvex
