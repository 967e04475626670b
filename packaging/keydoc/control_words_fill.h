// The completion template's placeholders for the control protocol's command words, filled from
// the protocol's own table so the completion offers exactly what the daemon answers.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace halvex {

// Placeholder and its text:
//   @CONTROL_COMMANDS@  every command, blank-separated, in table order
//   @PLAIN_COMMANDS@    the commands that take no further words, as a bash case pattern (a | b)
//   @PRESET_VERBS@      the words after "preset", blank-separated
//   @BYPASS_VERBS@      the words after "bypass", blank-separated
std::vector<std::pair<std::string, std::string>> ControlWordFills();

}  // namespace halvex
