#include "vis/mpris_now_playing.h"

#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/dbus/private_session_bus.h"

namespace halvex::vis {

namespace {

constexpr const char* kPlayerPrefix = "org.mpris.MediaPlayer2.";
constexpr const char* kPlayerPath = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr int kListTimeoutMs = 1000;
constexpr int kGetTimeoutMs = 500;
constexpr unsigned kPollMs = 2000;  // players that change without a signal are seen this late

struct VariantUnref {
  void operator()(GVariant* v) const { g_variant_unref(v); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

// What the callbacks of the watcher thread need.
struct Watcher {
  GDBusConnection* bus;
  GCancellable* cancellable;
  std::mutex* mutex;
  std::string* text;
};

// The string of a value that is a string, or the first of an array of strings; else "".
std::string FirstString(GVariant* value) {
  if (value == nullptr) return "";
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING)) {
    return g_variant_get_string(value, nullptr);
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING_ARRAY) && g_variant_n_children(value) > 0) {
    Variant first(g_variant_get_child_value(value, 0));
    return g_variant_get_string(first.get(), nullptr);
  }
  return "";
}

// One property of a player's Player interface; null when the call fails (no reply in time, the
// player went away).
Variant Prop(const Watcher& w, const std::string& player, const char* property) {
  Variant reply(g_dbus_connection_call_sync(
      w.bus, player.c_str(), kPlayerPath, kPropertiesInterface, "Get",
      g_variant_new("(ss)", kPlayerInterface, property), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NONE, kGetTimeoutMs, w.cancellable, nullptr));
  if (!reply) return nullptr;
  GVariant* inner = nullptr;
  g_variant_get(reply.get(), "(v)", &inner);
  return Variant(inner);
}

// The media players on the bus in its own order; none when the bus does not answer.
std::vector<std::string> Players(const Watcher& w) {
  std::vector<std::string> players;
  Variant reply(g_dbus_connection_call_sync(w.bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                            "org.freedesktop.DBus", "ListNames", nullptr,
                                            G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE,
                                            kListTimeoutMs, w.cancellable, nullptr));
  if (!reply) return players;
  GVariantIter* names = nullptr;
  g_variant_get(reply.get(), "(as)", &names);
  const gchar* name = nullptr;
  while (g_variant_iter_next(names, "&s", &name)) {
    if (std::strncmp(name, kPlayerPrefix, std::strlen(kPlayerPrefix)) == 0) players.push_back(name);
  }
  g_variant_iter_free(names);
  return players;
}

std::string NowPlaying(const Watcher& w) {
  const std::vector<std::string> players = Players(w);
  if (players.empty()) return "";
  const std::string* chosen = &players.front();
  for (const std::string& player : players) {
    if (FirstString(Prop(w, player, "PlaybackStatus").get()) == "Playing") {
      chosen = &player;
      break;
    }
  }
  const Variant metadata = Prop(w, *chosen, "Metadata");
  if (!metadata || !g_variant_is_of_type(metadata.get(), G_VARIANT_TYPE_VARDICT)) return "";
  Variant title(g_variant_lookup_value(metadata.get(), "xesam:title", nullptr));
  Variant artist(g_variant_lookup_value(metadata.get(), "xesam:artist", nullptr));
  return FormatNowPlaying(FirstString(artist.get()), FirstString(title.get()));
}

void Publish(const Watcher& w) {
  std::string text = NowPlaying(w);
  std::lock_guard<std::mutex> lock(*w.mutex);
  *w.text = std::move(text);
}

void OnPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant*, gpointer data) {
  Publish(*static_cast<const Watcher*>(data));
}

gboolean OnPoll(gpointer data) {
  Publish(*static_cast<const Watcher*>(data));
  return G_SOURCE_CONTINUE;
}

gboolean QuitLoop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

Connection ConnectSessionBus(GCancellable* cancellable, bool& cancelled) {
  return Connection(ConnectPrivateSessionBus(cancellable, &cancelled));
}

}  // namespace

std::string FormatNowPlaying(const std::string& artist, const std::string& title) {
  if (!artist.empty() && !title.empty()) return artist + " ~ " + title;
  if (!title.empty()) return title;
  return artist;
}

MprisNowPlaying::~MprisNowPlaying() { Stop(); }

bool MprisNowPlaying::Start() {
  if (running_.exchange(true)) return false;
  cancellable_ = g_cancellable_new();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void MprisNowPlaying::Stop() {
  if (!running_.exchange(false)) return;
  g_cancellable_cancel(cancellable_);
  {
    // A quit is queued on the loop's context rather than sent to the loop: a loop that has not
    // started running yet would forget a plain quit and run forever. A thread that publishes its
    // loop after this point sees running_ clear and never runs it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (loop_ != nullptr) {
      GSource* quit = g_idle_source_new();
      g_source_set_priority(quit, G_PRIORITY_HIGH);
      g_source_set_callback(quit, QuitLoop, g_main_loop_ref(loop_),
                            reinterpret_cast<GDestroyNotify>(g_main_loop_unref));
      g_source_attach(quit, g_main_loop_get_context(loop_));
      g_source_unref(quit);
    }
  }
  if (thread_.joinable()) thread_.join();
  g_object_unref(cancellable_);
  cancellable_ = nullptr;
}

std::string MprisNowPlaying::Current() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

void MprisNowPlaying::Run() {
  bool cancelled = false;
  const Connection bus = ConnectSessionBus(cancellable_, cancelled);
  if (!bus) {
    if (!cancelled) std::fprintf(stderr, "halvex-vis: no session bus; no track titles\n");
    return;
  }
  // The subscription delivers to the thread-default context at the time it is made, and the
  // timer is attached to the same context: nothing of ours runs on the global default context.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GMainLoop* loop = g_main_loop_new(context, FALSE);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = loop;
  }
  Watcher watcher{bus.get(), cancellable_, &mutex_, &text_};
  if (running_.load()) {
    Publish(watcher);
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus.get(), nullptr, kPropertiesInterface, "PropertiesChanged", kPlayerPath, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, OnPropertiesChanged, &watcher, nullptr);
    GSource* poll = g_timeout_source_new(kPollMs);
    g_source_set_callback(poll, OnPoll, &watcher, nullptr);
    g_source_attach(poll, context);
    g_main_loop_run(loop);
    g_source_destroy(poll);
    g_source_unref(poll);
    g_dbus_connection_signal_unsubscribe(bus.get(), subscription);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loop_ = nullptr;
  }
  g_main_loop_unref(loop);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
}

}  // namespace halvex::vis
