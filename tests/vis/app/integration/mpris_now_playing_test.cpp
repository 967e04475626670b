// The now-playing watcher against media players (python3-dbusmock) on a private session bus.
// Nothing in this process runs the global default main context, so every update seen here came
// through the watcher's own context.
#include "vis/mpris_now_playing.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "tests/daemon/integration/pw_graph.h"
#include "tests/vis/app/scoped_env.h"

namespace halvex::vis {
namespace {

using test::PrivateGraph;

struct Track {
  std::string artist;  // "" leaves xesam:artist out
  std::string title;   // "" leaves xesam:title out
};

class MprisBus : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    graph_ = new PrivateGraph;
    std::string error;
    if (!graph_->Start(error)) {
      ADD_FAILURE() << error;
      return;
    }
    for (const std::string& entry : graph_->Environment()) {
      if (entry.rfind("DBUS_SESSION_BUS_ADDRESS=", 0) == 0) address_ = entry.substr(25);
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    bus_ = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
  }
  static void TearDownTestSuite() {
    if (bus_ != nullptr) g_object_unref(bus_);
    bus_ = nullptr;
    delete graph_;
    graph_ = nullptr;
  }
  void SetUp() override { ASSERT_NE(bus_, nullptr) << "no private bus"; }
  void TearDown() override {
    for (const pid_t pid : players_) graph_->Kill(pid, 500);
    players_.clear();
  }

  static GVariant* Call(const std::string& name, const char* interface, const char* method,
                        GVariant* args) {
    return g_dbus_connection_call_sync(bus_, name.c_str(), "/org/mpris/MediaPlayer2", interface,
                                       method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                       nullptr);
  }

  static GVariant* Metadata(const Track& track) {
    GVariantBuilder metadata;
    g_variant_builder_init(&metadata, G_VARIANT_TYPE_VARDICT);
    if (!track.title.empty()) {
      g_variant_builder_add(&metadata, "{sv}", "xesam:title",
                            g_variant_new_string(track.title.c_str()));
    }
    if (!track.artist.empty()) {
      const gchar* artists[] = {track.artist.c_str(), "Second Artist"};
      g_variant_builder_add(&metadata, "{sv}", "xesam:artist", g_variant_new_strv(artists, 2));
    }
    return g_variant_builder_end(&metadata);
  }

  static GVariant* Properties(const std::string& status, const Track& track) {
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&props, "{sv}", "PlaybackStatus", g_variant_new_string(status.c_str()));
    g_variant_builder_add(&props, "{sv}", "Metadata", Metadata(track));
    return g_variant_new("(sa{sv})", "org.mpris.MediaPlayer2.Player", &props);
  }

  // A media player "org.mpris.MediaPlayer2.<suffix>" that is on the bus with these properties.
  pid_t AddPlayer(const std::string& suffix, const std::string& status, const Track& track) {
    const std::string name = "org.mpris.MediaPlayer2." + suffix;
    const pid_t pid = graph_->Spawn({"/usr/bin/python3", "-m", "dbusmock", "--session", name,
                                     "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player"});
    EXPECT_GT(pid, 0);
    players_.push_back(pid);
    EXPECT_TRUE(
        PrivateGraph::WaitUntil([&] { return std::ranges::count(Players(), name) == 1; }, 10000))
        << name;
    GVariant* reply =
        Call(name, "org.freedesktop.DBus.Mock", "AddProperties", Properties(status, track));
    EXPECT_NE(reply, nullptr) << name;
    if (reply != nullptr) g_variant_unref(reply);
    return pid;
  }

  // A new track on a player, announced with the PropertiesChanged signal players send.
  void ChangeTrack(const std::string& suffix, const Track& track) {
    GVariant* reply =
        Call("org.mpris.MediaPlayer2." + suffix, "org.freedesktop.DBus.Properties", "Set",
             g_variant_new("(ssv)", "org.mpris.MediaPlayer2.Player", "Metadata", Metadata(track)));
    ASSERT_NE(reply, nullptr);
    g_variant_unref(reply);
  }

  // Media player names in the bus's own order.
  static std::vector<std::string> Players() {
    std::vector<std::string> players;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
        nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (reply == nullptr) return players;
    GVariantIter* names = nullptr;
    g_variant_get(reply, "(as)", &names);
    const gchar* name = nullptr;
    while (g_variant_iter_next(names, "&s", &name)) {
      if (std::string(name).rfind("org.mpris.MediaPlayer2.", 0) == 0) players.push_back(name);
    }
    g_variant_iter_free(names);
    g_variant_unref(reply);
    return players;
  }

  static bool Shows(const MprisNowPlaying& watcher, const std::string& text,
                    int timeout_ms = 6000) {
    return PrivateGraph::WaitUntil([&] { return watcher.Current() == text; }, timeout_ms, 20);
  }

  static PrivateGraph* graph_;
  static std::string address_;
  static GDBusConnection* bus_;
  std::vector<pid_t> players_;
};

PrivateGraph* MprisBus::graph_ = nullptr;
std::string MprisBus::address_;
GDBusConnection* MprisBus::bus_ = nullptr;

TEST_F(MprisBus, FollowsThePlayingPlayerElseTheFirstElseNothing) {
  MprisNowPlaying watcher;
  ASSERT_TRUE(watcher.Start());
  EXPECT_FALSE(watcher.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(watcher.Current(), "");
  AddPlayer("alpha", "Paused", {"A", "Alpha"});
  AddPlayer("beta", "Stopped", {"B", "Beta"});
  ASSERT_EQ(Players().size(), 2u);
  const std::string first =
      Players().front() == "org.mpris.MediaPlayer2.alpha" ? "A ~ Alpha" : "B ~ Beta";
  EXPECT_TRUE(Shows(watcher, first)) << watcher.Current();

  const pid_t live = AddPlayer("live", "Playing", {"Live Artist", "Live Song"});
  EXPECT_TRUE(Shows(watcher, "Live Artist ~ Live Song")) << watcher.Current();
  ChangeTrack("live", {"", "Only A Title"});
  EXPECT_TRUE(Shows(watcher, "Only A Title")) << watcher.Current();
  ChangeTrack("live", {"Only An Artist", ""});
  EXPECT_TRUE(Shows(watcher, "Only An Artist")) << watcher.Current();

  graph_->Kill(live, 500);  // vanishes without a word
  EXPECT_TRUE(Shows(watcher, first)) << watcher.Current();
  for (const pid_t pid : players_) graph_->Kill(pid, 500);
  players_.clear();
  EXPECT_TRUE(Shows(watcher, "")) << watcher.Current();
}

TEST_F(MprisBus, StopNeverHangsWhateverMomentItComes) {
  AddPlayer("gamma", "Playing", {"G", "Gamma"});
  std::mt19937 random(7);
  MprisNowPlaying watcher;
  for (int i = 0; i < 60; ++i) {
    ASSERT_TRUE(watcher.Start());
    // From before the thread has connected, through the loop being published, to running.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
    const auto before = std::chrono::steady_clock::now();
    watcher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2)) << i;
  }
  watcher.Stop();  // a second Stop is harmless
  ASSERT_TRUE(watcher.Start());
  EXPECT_TRUE(Shows(watcher, "G ~ Gamma")) << watcher.Current();
}

TEST(MprisNoBus, SaysSoOnceAndShowsNothing) {
  // No address, no X display to autolaunch a bus from, and no bus socket in the runtime dir.
  char runtime[] = "/tmp/halvex-nobus-XXXXXX";
  ASSERT_NE(::mkdtemp(runtime), nullptr);
  const ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", nullptr);
  const ScopedEnv display("DISPLAY", nullptr);
  const ScopedEnv runtime_dir("XDG_RUNTIME_DIR", runtime);

  testing::internal::CaptureStderr();
  MprisNowPlaying watcher;
  ASSERT_TRUE(watcher.Start());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(watcher.Current(), "");
  watcher.Stop();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "halvex-vis: no session bus; no track titles\n");
  ::rmdir(runtime);
}

}  // namespace
}  // namespace halvex::vis
