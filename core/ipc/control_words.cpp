#include "core/ipc/control_words.h"

#include <algorithm>

namespace halvex {

bool IsControlCommand(std::string_view word) {
  return std::any_of(std::begin(kControlCommands), std::end(kControlCommands),
                     [word](const ControlCommand& command) { return command.word == word; });
}

}  // namespace halvex
