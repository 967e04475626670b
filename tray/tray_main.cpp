// halvex-tray: the system-tray control panel for halvexd.
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/about.h"
#include "core/ipc/socket_path.h"
#include "tray/dbus_notifier.h"
#include "tray/remote_engine.h"
#include "tray/single_instance.h"
#include "tray/systemd_user_service.h"
#include "tray/tray_icon.h"
#include "tray/tray_presenter.h"
#include "tray/tray_window.h"

namespace halvex {
namespace {

constexpr unsigned kDefaultPollMs = 2000;
constexpr unsigned kMinPollMs = 250;
constexpr const char* kDefaultUnit = "halvexd";

struct Options {
  std::string socket = DefaultSocketPath();
  unsigned poll_ms = kDefaultPollMs;
  bool hidden = false;
  std::string unit = kDefaultUnit;
  bool start = true;
  bool replace = true;
  bool version = false;  // --version: say it and exit
};

int Usage(const char* program) {
  std::fprintf(stderr, "Usage: %s [options]\n\n", program);
  std::fprintf(stderr,
               "halvex tray application: system-tray control panel for the halvexd daemon.\n\n");
  std::fprintf(stderr, "Options:\n");
  std::fprintf(stderr, "  --socket PATH   control socket (default %s)\n",
               DefaultSocketPath().c_str());
  std::fprintf(stderr, "  --poll-ms N     how often to re-read the daemon state (default %u, minimum %u)\n",
               kDefaultPollMs, kMinPollMs);
  std::fprintf(stderr, "  --hidden        start with the window closed (used by the autostart entry)\n");
  std::fprintf(stderr, "  --unit NAME     systemd user unit to control (default %s)\n", kDefaultUnit);
  std::fprintf(stderr, "  --no-start      do not start the daemon if it is not running\n");
  std::fprintf(stderr, "  --allow-multiple  do not replace an already running tray instance\n");
  std::fprintf(stderr, "  -h, --help      this text\n");
  return 1;
}

// Base-10 milliseconds; anything that is not a whole number is refused rather than read as 0.
bool ParsePollMs(const char* text, unsigned& out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value > 3600000ul) return false;
  out = value < kMinPollMs ? kMinPollMs : static_cast<unsigned>(value);
  return true;
}

bool ParseArgs(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(arg, "--socket") == 0 && has_value) {
      options.socket = argv[++i];
    } else if (std::strcmp(arg, "--poll-ms") == 0 && has_value &&
               ParsePollMs(argv[i + 1], options.poll_ms)) {
      ++i;
    } else if (std::strcmp(arg, "--hidden") == 0) {
      options.hidden = true;
    } else if (std::strcmp(arg, "--unit") == 0 && has_value) {
      options.unit = argv[++i];
    } else if (std::strcmp(arg, "--no-start") == 0) {
      options.start = false;
    } else if (std::strcmp(arg, "--allow-multiple") == 0) {
      options.replace = false;
    } else if (std::strcmp(arg, "--version") == 0) {
      options.version = true;
    } else {
      if (std::strcmp(arg, "-h") != 0 && std::strcmp(arg, "--help") != 0) {
        std::fprintf(stderr, "error: unrecognised argument: %s\n", arg);
      }
      return false;
    }
  }
  return true;
}

gboolean OnQuitSignal(gpointer) {
  gtk_main_quit();
  return G_SOURCE_CONTINUE;
}

struct Poll {
  TrayPresenter& presenter;
  TrayIcon& icon;
  TrayWindow& window;
};

gboolean OnPoll(gpointer data) {
  auto* poll = static_cast<Poll*>(data);
  poll->presenter.Refresh();
  poll->icon.Sync();
  poll->window.Sync();
  return G_SOURCE_CONTINUE;
}

int Run(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, options)) return Usage(argv[0]);
  if (options.version) {
    std::fputs(VersionLine("halvex-tray").c_str(), stdout);
    return 0;
  }

  // A tray that cannot open its display must not end the one that is running.
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "halvex-tray: cannot open the display\n");
    return 1;
  }
  std::setlocale(LC_NUMERIC, "C");
  // Installed before anything else, so a SIGTERM from a newer tray during start-up still ends
  // this one through its main loop, which removes the pid file.
  const guint term = g_unix_signal_add(SIGTERM, OnQuitSignal, nullptr);
  const guint interrupt = g_unix_signal_add(SIGINT, OnQuitSignal, nullptr);

  SingleInstance instance(DefaultInstancePath(), "halvex-tray");
  if (options.replace) {
    if (const pid_t replaced = instance.Claim()) {
      std::fprintf(stderr, "halvex-tray: replaced running instance (pid %d)\n", int(replaced));
    }
  }

  std::unique_ptr<EngineRemote> engine = MakeRemoteEngine(options.socket);
  auto notifier = std::make_unique<DbusNotifier>();
  if (!notifier->Connect()) {
    std::fprintf(stderr, "halvex-tray: no session bus; running without notifications\n");
  }
  std::unique_ptr<ServiceControl> service = MakeSystemdUserService(options.unit);
  auto presenter = std::make_unique<TrayPresenter>(*engine, *notifier, *service);
  presenter->Refresh();
  if (options.start) presenter->StartIfStopped();

  auto window = std::make_unique<TrayWindow>(*presenter);
  window->Build();
  auto icon = std::make_unique<TrayIcon>(*presenter, *window);
  const auto sync_both = [&] {
    icon->Sync();
    window->Sync();
  };
  window->SetAfterAction(sync_both);
  icon->SetAfterAction(sync_both);
  icon->Build();
  window->Sync();
  if (!options.hidden) window->Show();

  Poll poll{*presenter, *icon, *window};
  const guint timer = g_timeout_add(options.poll_ms, OnPoll, &poll);

  gtk_main();

  g_source_remove(timer);
  g_source_remove(interrupt);
  g_source_remove(term);
  icon.reset();
  window.reset();
  presenter.reset();
  service.reset();
  notifier.reset();
  engine.reset();
  return 0;
}

}  // namespace
}  // namespace halvex

int main(int argc, char** argv) { return halvex::Run(argc, argv); }
