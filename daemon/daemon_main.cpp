// halvexd: wires the configuration file, the DSP node, the control socket and the PipeWire loop.
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>
#include <sys/resource.h>
#include <sys/stat.h>

#include "core/about.h"
#include "core/config/config_defaults.h"
#include "core/config/json_config.h"
#include "core/ipc/socket_path.h"
#include "daemon/control_service.h"
#include "daemon/daemon_options.h"
#include "daemon/device_watch.h"
#include "daemon/preset_service.h"
#include "daemon/pw_daemon.h"
#include "daemon/socket_server.h"

namespace halvex {
namespace {

// Both stop signals are blocked before any thread exists, so every thread inherits the mask and
// only the main loop's signal sources ever see them: the orderly stop always runs.
void BlockStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WarnWithoutRealtime() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur == 0) {
    std::fprintf(stderr,
                 "halvexd: warning: no real-time scheduling (add your user to 'audio' or run rtkit).\n");
  }
}

// Only a file that does not exist means defaults; a file that exists but does not load is the
// user's configuration, and running on defaults would later save them over it.
bool LoadConfig(JsonConfigProvider& provider, const std::string& path, ProcessorConfig& config) {
  config = DefaultConfig();
  if (provider.Load(config)) return true;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    config = DefaultConfig();
    return true;
  }
  std::fprintf(stderr, "halvexd: config error: %s\n", provider.LastError().c_str());
  return false;
}

int Run(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const DaemonOptions options = ParseDaemonArguments(args);
  const std::string program = args.empty() ? "halvexd" : args[0];
  switch (options.action) {
    case DaemonAction::kHelp:
      std::fputs(DaemonUsage(program).c_str(), stderr);
      return 0;
    case DaemonAction::kVersion:
      std::fputs(VersionLine("halvexd").c_str(), stdout);
      return 0;
    case DaemonAction::kBadOption:
      std::fprintf(stderr, "halvexd: unrecognised option: %s (see %s --help)\n",
                   options.bad_option.c_str(), program.c_str());
      return 2;
    case DaemonAction::kRun:
      break;
  }

  std::setlocale(LC_NUMERIC, "C");
  BlockStopSignals();
  WarnWithoutRealtime();

  std::string path = options.config_path;
  const bool named_by_user = !path.empty();
  if (path.empty()) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      std::fprintf(stderr, "halvexd: HOME is not set; cannot locate the config file (use --config)\n");
      return 1;
    }
    path = std::string(home) + "/.config/halvex/config.json";
  }
  JsonConfigProvider provider(path);
  ProcessorConfig config;
  if (!LoadConfig(provider, path, config)) return 1;

  PwDaemon engine;
  std::string error;
  if (!engine.Configure(config, error)) {
    std::fprintf(stderr, "halvexd: config error: %s\n", error.c_str());
    return 1;
  }
  engine.SetEnabled(config.enabled);

  const std::string socket_path = DefaultSocketPath();
  const std::string anchor = PresetAnchor(path, named_by_user, std::getenv("XDG_CONFIG_HOME"));
  PresetService presets(engine, provider, PresetStore(PresetFolderFor(anchor)),
                        BindingsPathFor(anchor));
  if (!presets.LoadBindings(error)) {
    std::fprintf(stderr, "halvexd: bindings error: %s (no device bindings, no bypass)\n",
                 error.c_str());
  }
  ControlService service(engine, provider, &presets);
  SocketServer server(socket_path, service);
  if (!server.Start()) {
    if (server.InUse()) {
      std::fprintf(stderr, "halvexd: another instance is running (control socket %s)\n",
                   socket_path.c_str());
    } else {
      std::fprintf(stderr, "halvexd: cannot open control socket %s: %s\n", socket_path.c_str(),
                   server.LastError().c_str());
    }
    return 1;
  }

  std::fprintf(stderr, "halvexd: running (%s). control: %s\n",
               config.enabled ? "processing" : "pass-through", socket_path.c_str());
  DeviceWatch watch([&engine] { return engine.ActiveDevice(); },
                    [&service](const std::string& device) {
                      // "OK preset loaded NAME..." or "ERR ...": said after the device name.
                      const std::string result = service.DeviceChanged(device);
                      if (!result.empty()) {
                        std::fprintf(stderr, "halvexd: %s: %s\n", device.c_str(),
                                     result.c_str() + (result[0] == 'O' ? 3 : 4));
                      }
                    });
  watch.Start();
  const bool ok = engine.Run();
  watch.Stop();
  server.Stop();
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace halvex

int main(int argc, char** argv) { return halvex::Run(argc, argv); }
