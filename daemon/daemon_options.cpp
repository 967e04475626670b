#include "daemon/daemon_options.h"

#include "core/about.h"

namespace halvex {

DaemonOptions ParseDaemonArguments(const std::vector<std::string>& args) {
  DaemonOptions options;
  bool config_named = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--config") {
      if (i + 1 >= args.size()) break;
      // Later ones are used up with their value but do not move the file.
      if (!config_named) options.config_path = args[i + 1];
      config_named = true;
      ++i;
    } else if (arg == "-h" || arg == "--help") {
      options.action = DaemonAction::kHelp;
      return options;
    } else if (arg == "--version") {
      options.action = DaemonAction::kVersion;
      return options;
    } else if (arg.size() > 1 && arg[0] == '-') {
      options.action = DaemonAction::kBadOption;
      options.bad_option = arg;
      return options;
    }
  }
  return options;
}

std::string DaemonUsage(const std::string& program) {
  std::string text = "Usage: " + program + " [--config FILE]\n\n";
  text +=
      "The Halvex daemon: puts the output device \"halvex\" into the PipeWire graph, runs what\n"
      "plays into it through the spatial engine and sends it on to a real device, until SIGINT\n"
      "or SIGTERM. Control it with halvex or halvex-tray.\n\n"
      "Options:\n"
      "  --config FILE   configuration file to load and to save changes into\n"
      "                  (default $HOME/.config/halvex/config.json)\n"
      "  -h, --help      this text\n"
      "  --version       the version\n\n"
      "Environment:\n"
      "  HOME                  locates the default configuration file\n"
      "  XDG_CONFIG_HOME       folder of presets and bindings when --config is not given\n"
      "  XDG_RUNTIME_DIR       folder of the control socket (else /tmp)\n"
      "  HALVEX_TRACE_ROUTING  when set, one line per routing decision on standard error\n\n"
      "Files:\n"
      "  ~/.config/halvex/config.json    engine settings, saved on every change\n"
      "  ~/.config/halvex/presets/       named presets\n"
      "  ~/.config/halvex/bindings.json  preset per output device, apps that bypass the engine\n"
      "  $XDG_RUNTIME_DIR/halvexd.sock   control socket, while the daemon runs\n\n"
      "Normally run by the systemd user manager as the unit halvexd.service:\n"
      "  systemctl --user enable --now halvexd\n\n";
  text += std::string(kProductName) + " by " + kMakerName + "\n" + kProjectPage + "\n";
  return text;
}

}  // namespace halvex
