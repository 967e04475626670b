#include "daemon/preset_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "core/ipc/control_words.h"
#include "daemon/control_service.h"
#include "daemon/device_watch.h"
#include "tests/cli/wav_bytes.h"
#include "tests/daemon/control_fakes.h"
#include "tests/daemon/conversation.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;

// The commands as a client sends them, against a fake engine and real files in a fresh folder.
class PresetCommands : public ::testing::Test {
 protected:
  std::string Folder() const { return dir.File("presets"); }
  std::string BindingsPath() const { return dir.File("bindings.json"); }
  // What a restarted daemon reads back from the bindings file.
  DeviceBindings Reloaded() {
    PresetService again(engine, provider, PresetStore(Folder()), BindingsPath());
    std::string error;
    EXPECT_TRUE(again.LoadBindings(error)) << error;
    return again.Bindings();
  }
  testing::TempDir dir;
  FakeEngine engine;
  FakeProvider provider;
  PresetService presets{engine, provider, PresetStore(dir.File("presets")), BindingsPath()};
  ControlService service{engine, provider, &presets};
};

// The words the command-line tool and the completion offer are the ones the daemon answers: each
// command is known, and each verb is taken with some count of words instead of the usage reply.
TEST_F(PresetCommands, EveryOfferedCommandAndVerbIsAnswered) {
  for (const ControlCommand& command : kControlCommands) {
    const std::string reply = service.Handle(std::string(command.word));
    EXPECT_EQ(reply.rfind("ERR unknown command", 0), std::string::npos) << command.word;
  }
  const auto answered = [&](std::string_view head, std::string_view verb) {
    std::string line = std::string(head) + " " + std::string(verb);
    for (int extra = 0; extra < 3; ++extra, line += " x") {
      if (service.Handle(line).rfind("ERR usage:", 0) != 0) return true;
    }
    return false;
  };
  for (const std::string_view verb : kPresetVerbs) {
    EXPECT_TRUE(answered(command::kPreset, verb)) << verb;
  }
  for (const std::string_view verb : kBypassVerbs) {
    EXPECT_TRUE(answered(command::kBypass, verb)) << verb;
  }
  EXPECT_FALSE(answered(command::kPreset, "frob")) << "the check can fail";
}

TEST_F(PresetCommands, SaveListLoadDeleteAndTheCurrentName) {
  engine.enabled = true;
  EXPECT_EQ(service.Handle("preset list"), "OK presets");
  EXPECT_EQ(service.Handle("preset"), "OK preset none");

  engine.config.wet_dry_ratio = 0.25f;
  EXPECT_EQ(service.Handle("preset save quiet"), "OK preset saved quiet");
  EXPECT_EQ(service.Handle("preset"), "OK preset quiet");
  ASSERT_EQ(service.Handle("set wet_dry_ratio 0.75"), "OK set wet_dry_ratio=0.75");
  EXPECT_EQ(service.Handle("preset"), "OK preset none") << "a change since the save";
  EXPECT_EQ(service.Handle("preset save Loud"), "OK preset saved Loud");
  EXPECT_EQ(service.Handle("preset list"), "OK presets\tLoud\tquiet");

  // Loading keeps the device and the switch, installs once, and saves the file.
  engine.config.output_device = "speakers";
  provider.saved.clear();
  const int installs = engine.reconfigure_calls;
  EXPECT_EQ(service.Handle("preset load quiet"), "OK preset loaded quiet");
  EXPECT_EQ(engine.reconfigure_calls, installs + 1);
  EXPECT_FLOAT_EQ(engine.config.wet_dry_ratio, 0.25f);
  EXPECT_EQ(engine.config.output_device, "speakers");
  ASSERT_EQ(provider.saved.size(), 1u);
  EXPECT_FLOAT_EQ(provider.saved[0].wet_dry_ratio, 0.25f);
  EXPECT_TRUE(provider.saved[0].enabled);
  EXPECT_EQ(service.Handle("preset"), "OK preset quiet");

  ExpectConversation(service, {
      {"preset delete quiet", "OK preset deleted quiet"},
      {"preset", "OK preset none"},
      {"preset list", "OK presets\tLoud"},
      {"preset load quiet", "ERR no such preset: quiet"},
  });
}

TEST_F(PresetCommands, BadNamesAreRefusedWithNothingWritten) {
  for (const char* name : {"../x", ".hidden", "x\x01y"}) {
    for (const char* verb : {"save", "load", "delete"}) {
      const std::string line = std::string("preset ") + verb + " " + name;
      const std::string reply = service.Handle(line);
      EXPECT_EQ(reply.rfind("ERR invalid preset name: ", 0), 0u) << line << " -> " << reply;
      EXPECT_EQ(reply.find('\x01'), std::string::npos) << "control byte echoed";
    }
    EXPECT_EQ(service.Handle(std::string("preset fallback ") + name).rfind("ERR invalid preset name: ", 0), 0u);
  }
  EXPECT_EQ(service.Handle("preset save two words").rfind("ERR usage: preset", 0), 0u);
  EXPECT_EQ(service.Handle("preset frob").rfind("ERR usage: preset", 0), 0u);
  EXPECT_FALSE(fs::exists(Folder()));
  EXPECT_FALSE(fs::exists(dir.File("x.json")));
  EXPECT_EQ(engine.reconfigure_calls, 0);
  EXPECT_TRUE(provider.saved.empty());
}

TEST_F(PresetCommands, ABrokenPresetFileChangesNothing) {
  fs::create_directories(Folder());
  std::ofstream(Folder() + "/broken.json") << "{\"distance\": ";
  std::ofstream(Folder() + "/wild.json") << "{\"distance\": 99}";
  engine.config.distance = 3.0f;
  EXPECT_EQ(service.Handle("preset load broken").rfind("ERR preset broken: json parse error: ", 0),
            0u);
  EXPECT_EQ(service.Handle("preset load wild"), "ERR preset wild: distance out of [1,8]");
  EXPECT_EQ(engine.reconfigure_calls, 0);
  EXPECT_FLOAT_EQ(engine.config.distance, 3.0f);
  EXPECT_TRUE(provider.saved.empty());
}

TEST_F(PresetCommands, BindingsFollowTheDeviceAndFallBack) {
  engine.config.distance = 2.0f;
  service.Handle("preset save near");
  engine.config.distance = 6.0f;
  service.Handle("preset save far");

  EXPECT_EQ(service.Handle("preset bind headset absent"), "ERR no such preset: absent");
  EXPECT_EQ(service.Handle("preset bind bad/name near").rfind("ERR invalid device name: ", 0), 0u);
  ExpectConversation(service, {
      {"preset bind headset near", "OK preset bound headset=near"},
      {"preset bind speakers far", "OK preset bound speakers=far"},
      {"preset bindings", "OK bindings\theadset=near\tspeakers=far"},
  });

  // No fallback yet: an unbound device leaves the settings alone.
  EXPECT_EQ(service.DeviceChanged("hdmi"), "");
  EXPECT_FLOAT_EQ(engine.config.distance, 6.0f);
  EXPECT_EQ(service.DeviceChanged("headset"), "OK preset loaded near");
  EXPECT_FLOAT_EQ(engine.config.distance, 2.0f);
  EXPECT_EQ(service.DeviceChanged("speakers"), "OK preset loaded far");
  EXPECT_FLOAT_EQ(engine.config.distance, 6.0f);

  EXPECT_EQ(service.Handle("preset fallback near"), "OK preset fallback near");
  EXPECT_EQ(service.Handle("preset bindings"), "OK bindings\theadset=near\tspeakers=far\t*=near");
  EXPECT_EQ(service.DeviceChanged("hdmi"), "OK preset loaded near");
  EXPECT_FLOAT_EQ(engine.config.distance, 2.0f);

  // A preset in use by a binding stays until the binding goes.
  ExpectConversation(service, {
      {"preset delete far", "ERR preset far is bound to speakers"},
      {"preset delete near", "ERR preset near is bound to headset"},
      {"preset unbind headset", "OK preset unbound headset"},
      {"preset unbind headset", "ERR no binding for device: headset"},
      {"preset delete near", "ERR preset near is bound to the fallback"},
      {"preset fallback none", "OK preset fallback none"},
      {"preset delete near", "OK preset deleted near"},
  });

  const DeviceBindings kept = Reloaded();
  EXPECT_EQ(kept.devices, (std::map<std::string, std::string>{{"speakers", "far"}}));
  EXPECT_EQ(kept.fallback, "");
}

TEST_F(PresetCommands, BypassListTakesNamesWithSpacesAndKeepsThem) {
  ExpectConversation(service, {
      {"bypass list", "OK bypass"},
      {"bypass add   Voice \t  Chat  ", "OK bypass added Voice Chat"},
      {"bypass add daw", "OK bypass added daw"},
      {"bypass add daw", "OK bypass added daw"},
      {"bypass list", "OK bypass\tVoice Chat\tdaw"},
      {"bypass remove nope", "ERR not bypassed: nope"},
      {"bypass remove Voice Chat", "OK bypass removed Voice Chat"},
      {"bypass add", "ERR usage: bypass add APP | bypass remove APP | bypass list"},
      {"bypass add a\x02z", "ERR invalid app name: a?z"},
  });

  EXPECT_EQ(engine.bypass_apps, std::vector<std::string>{"daw"}) << "the router hears of it";
  EXPECT_EQ(Reloaded().bypass, std::vector<std::string>{"daw"});

  engine.streams = {{"Music Player", false}, {"daw", true}, {"odd|name\x01", false}};
  EXPECT_EQ(service.Handle("streams"),
            "OK streams\tMusic Player|processed\tdaw|bypassed\todd name |processed");
}

TEST_F(PresetCommands, AnUnreadableBindingsFileIsNeverWrittenOver) {
  std::ofstream(BindingsPath()) << "{\"devices\": ";
  PresetService broken(engine, provider, PresetStore(Folder()), BindingsPath());
  std::string error;
  EXPECT_FALSE(broken.LoadBindings(error));
  service.Handle("preset save any");
  ControlService control(engine, provider, &broken);
  EXPECT_EQ(control.Handle("bypass add app").rfind("ERR ", 0), 0u);
  EXPECT_EQ(control.Handle("preset bind headset any").rfind("ERR ", 0), 0u);
  std::ifstream file(BindingsPath());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "{\"devices\": ");
}

TEST(DeviceWatchThread, ReportsEachNewDeviceOnceAndIgnoresGaps) {
  std::mutex mutex;
  std::vector<std::string> script = {"", "a", "a", "", "a", "b", "b", "a"};
  size_t next = 0;
  std::vector<std::string> seen;
  DeviceWatch watch(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        const size_t i = next++;
        return i < script.size() ? script[i] : script.back();
      },
      [&](const std::string& device) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(device);
      });
  watch.Start();
  // A read past the script means every scripted value has been handled. Generous: the machine
  // may be busy; nine polls take about a second when it is not.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (next > script.size()) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  watch.Stop();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "a"}));
}

}  // namespace
}  // namespace halvex
