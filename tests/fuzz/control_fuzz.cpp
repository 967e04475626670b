// libFuzzer target for the control protocol: arbitrary bytes, as a series of clients would send
// them in pieces of varying size, are put together into lines the way the server does it, and
// every line is handled against an in-memory engine and configuration store. A line is exactly the
// bytes before its line end and never longer than the limit; a longer one is refused whole; every
// reply must be one line that begins "OK" or "ERR"; an "ERR" must change nothing; the engine never
// holds an invalid configuration; and what is saved is what runs. Preset, binding and bypass
// commands work on real files in a private folder, and nothing ever lands outside it; "latency"
// only reports.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/config/config_validation.h"
#include "daemon/line_collector.h"
#include "daemon/control_service.h"
#include "daemon/preset_service.h"
#include "tests/daemon/control_fakes.h"
#include "tests/fuzz/require.h"

namespace {

// The server's line limit, and an input cap that keeps a run short.
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kMaxReplyBytes = 4096;

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "OK enabled" and "OK disabled", alone or with a save note (not the status line's "OK enabled=").
bool IsSwitchReply(const std::string& reply) {
  for (const std::string word : {"OK enabled", "OK disabled"}) {
    if (reply == word || StartsWith(reply, (word + " (").c_str())) return true;
  }
  return false;
}

// Hostile descriptions, the daemon's own nodes, and enough devices to pass the reply limit, with
// the active one last.
std::vector<halvex::AudioDevice> Devices() {
  std::vector<halvex::AudioDevice> devices = {
      {"halvex", "the virtual sink", 5, 1, 1},
      {"halvex_dsp", "the filter", 5, 2, 2},
      {"", "unnamed", 1, 3, 3},
      {"alsa_output.bar", "a|b\nc\td", -7, 4, 4},
      {"bad|name", "listed only if the name is safe", 0, 5, 5},
  };
  for (uint32_t i = 0; i < 60; ++i) {
    devices.push_back({"alsa_output.card" + std::to_string(i), std::string(90, 'x'),
                       static_cast<int32_t>(i), 10 + i, 10 + i});
  }
  return devices;
}

// One folder for the whole run: the presets and the bindings file beside them.
const std::string& Folder() {
  static const std::string folder = [] {
    char name[] = "/tmp/halvex-control-fuzz-XXXXXX";
    Require(::mkdtemp(name) != nullptr);
    return std::string(name);
  }();
  static const bool cleaned_at_exit = [] {
    return std::atexit([] { std::filesystem::remove_all(folder); }) == 0;
  }();
  (void)cleaned_at_exit;
  return folder;
}

// Only the presets folder, the bindings file and preset files in that folder may exist.
void RequireOnlyOurFiles() {
  namespace fs = std::filesystem;
  for (const auto& entry : fs::directory_iterator(Folder())) {
    const std::string name = entry.path().filename().string();
    Require(name == "presets" || name == "bindings.json");
  }
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(Folder() + "/presets", ec)) {
    Require(entry.path().extension() == ".json" && entry.is_regular_file());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  if (size > kMaxInput) return 0;

  FakeEngine engine;
  engine.devices = Devices();
  engine.active = engine.devices.back().name;
  engine.latency = {1024, 256, 48000};
  FakeProvider provider;
  PresetService presets(engine, provider, PresetStore(Folder() + "/presets"),
                        Folder() + "/bindings.json");
  std::string bindings_error;
  presets.LoadBindings(bindings_error);
  ControlService service(engine, provider, &presets);

  const char* bytes = reinterpret_cast<const char*>(data);
  size_t consumed = 0;
  while (consumed < size) {
    // One client: its bytes arrive in pieces whose sizes the input picks.
    LineCollector collector(kMaxLine);
    size_t fed = consumed;
    while (collector.state() == LineCollector::State::kWaiting && fed < size) {
      const size_t piece = std::min<size_t>(1 + data[fed] % 700, size - fed);
      collector.Add(bytes + fed, piece);
      fed += piece;
    }
    const bool ended = collector.state() == LineCollector::State::kWaiting;
    collector.End();
    const size_t rest = size - consumed;
    const void* newline = std::memchr(bytes + consumed, '\n', std::min(rest, kMaxLine + 1));
    if (collector.state() == LineCollector::State::kTooLong) {
      // Refused only when no line end comes within the limit; the next client starts after it.
      Require(newline == nullptr && rest > kMaxLine);
      const void* next = std::memchr(bytes + consumed, '\n', rest);
      consumed = next == nullptr ? size : static_cast<const char*>(next) - bytes + 1;
      continue;
    }
    const std::string& line = collector.line();
    Require(line.size() <= kMaxLine);
    Require(std::memcmp(line.data(), bytes + consumed, line.size()) == 0);
    Require(line.find('\n') == std::string::npos);
    if (ended) {
      Require(newline == nullptr && consumed + line.size() == size);
      consumed = size;
    } else {
      Require(newline == bytes + consumed + line.size());
      consumed += line.size() + 1;
    }

    // Saving fails now and then, so the save note is exercised too.
    provider.save_error = line.size() % 3 == 1 ? "disk full" : "";
    const ProcessorConfig before = engine.config;
    const bool was_enabled = engine.enabled;
    const size_t saves = provider.saved.size();

    const std::string reply = service.Handle(line);
    Require(StartsWith(reply, "OK") || StartsWith(reply, "ERR"));
    Require(reply.find('\n') == std::string::npos);
    std::string error;
    Require(ValidateConfig(engine.config, error));
    RequireOnlyOurFiles();
    if (StartsWith(reply, "ERR")) {
      Require(engine.config == before && engine.enabled == was_enabled);
      Require(provider.saved.size() == saves);
      continue;
    }
    for (const char* list : {"OK devices", "OK presets", "OK bindings", "OK bypass\t",
                             "OK streams"}) {
      if (StartsWith(reply, list)) Require(reply.size() <= kMaxReplyBytes);
    }
    if (StartsWith(reply, "OK latency")) {
      Require(reply == "OK latency engine=1024 quantum=256 rate=48000");
      Require(engine.config == before && engine.enabled == was_enabled);
      Require(provider.saved.size() == saves);
    }
    const bool note = reply.find(" (not saved: disk full)") != std::string::npos;
    if (StartsWith(reply, "OK set ") || IsSwitchReply(reply) ||
        StartsWith(reply, "OK preset loaded ")) {
      if (provider.save_error.empty()) {
        Require(!note && provider.saved.size() == saves + 1);
        ProcessorConfig running = engine.config;
        running.enabled = engine.enabled;
        Require(provider.saved.back() == running);
      } else {
        Require(note && provider.saved.size() == saves);
      }
    }
  }
  return 0;
}
