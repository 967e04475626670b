// Runs the built halvex binary as a user would and collects what it says: shared by the CLI tests.
#pragma once

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/wav_bytes.h"
#include "tests/support/files.h"
#include "tests/support/run_program.h"

namespace halvex::testing {

inline const char* const kTool = HALVEX_BINARY_DIR "/cli/halvex";

using test::Exists;
using test::RunResult;
using test::Slurp;

// Runs the tool with args; see RunProgram for `env` and `memory_limit`.
inline RunResult RunTool(const std::vector<std::string>& args,
                         const std::map<std::string, const char*>& env = {},
                         rlim_t memory_limit = 0) {
  return test::RunProgram(kTool, args, env, memory_limit);
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

}  // namespace halvex::testing
