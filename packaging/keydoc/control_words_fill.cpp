#include "packaging/keydoc/control_words_fill.h"

#include <string_view>

#include "core/ipc/control_words.h"

namespace halvex {
namespace {

template <typename Range, typename Word>
std::string Joined(const Range& items, const char* separator, Word word) {
  std::string out;
  for (const auto& item : items) {
    const std::string_view text = word(item);
    if (text.empty()) continue;
    if (!out.empty()) out += separator;
    out += text;
  }
  return out;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ControlWordFills() {
  const auto word = [](const ControlCommand& command) { return command.word; };
  const auto plain = [](const ControlCommand& command) {
    return command.takes_words ? std::string_view() : command.word;
  };
  const auto same = [](std::string_view verb) { return verb; };
  return {{"@CONTROL_COMMANDS@", Joined(kControlCommands, " ", word)},
          {"@PLAIN_COMMANDS@", Joined(kControlCommands, " | ", plain)},
          {"@PRESET_VERBS@", Joined(kPresetVerbs, " ", same)},
          {"@BYPASS_VERBS@", Joined(kBypassVerbs, " ", same)}};
}

}  // namespace halvex
