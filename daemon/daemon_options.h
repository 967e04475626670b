// halvexd's command line: which configuration file to run on, or a request for the usage text or
// the version instead of a run.
#pragma once

#include <string>
#include <vector>

namespace halvex {

enum class DaemonAction { kRun, kHelp, kVersion, kBadOption };

struct DaemonOptions {
  DaemonAction action = DaemonAction::kRun;
  std::string config_path;  // empty: the file under HOME
  std::string bad_option;   // with kBadOption: the argument not understood
};

// `args` as main gets them, the program name first. The first "--config" with a value names the
// file; a final "--config" without one is ignored, as are words that are not options (service
// files and scripts have passed such words for as long as the daemon ran). "-h"/"--help",
// "--version" or an unknown option ends the scan with that action.
DaemonOptions ParseDaemonArguments(const std::vector<std::string>& args);

// The usage text for `program` (argv[0]): options, environment, files and the user unit.
std::string DaemonUsage(const std::string& program);

}  // namespace halvex
