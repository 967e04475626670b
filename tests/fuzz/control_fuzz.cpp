// libFuzzer target for the control protocol: arbitrary bytes arrive on a socket, are read a line at
// a time the way the server reads them, and every line is handled against an in-memory engine and
// configuration store. ReadLine must return exactly the bytes it consumed; every reply must be one
// line that begins "OK" or "ERR"; an "ERR" must change nothing; the engine never holds an invalid
// configuration; what is saved is what runs; and "latency" only reports.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/config/config_validation.h"
#include "core/ipc/socket_io.h"
#include "daemon/control_service.h"
#include "tests/daemon/control_fakes.h"

namespace {

// The server's read limit, and an input cap that keeps the whole input within the socket buffer
// (it is written before it is read, on one thread).
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kMaxReplyBytes = 4096;

void Require(bool condition) {
  if (!condition) std::abort();
}

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace halvex;
  if (size > kMaxInput) return 0;

  int fds[2];
  Require(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  Require(WriteAll(fds[0], std::string(reinterpret_cast<const char*>(data), size)));
  ::close(fds[0]);  // the peer is done: the last line ends at end of file

  FakeEngine engine;
  engine.devices = Devices();
  engine.active = engine.devices.back().name;
  engine.latency = {1024, 256, 48000};
  FakeProvider provider;
  ControlService service(engine, provider);

  size_t consumed = 0;
  for (bool more = true; more;) {
    ReadEnd end = ReadEnd::kError;
    const std::string line = ReadLine(fds[1], kMaxLine, end);
    Require(line.size() <= kMaxLine);
    Require(consumed + line.size() <= size);
    Require(std::memcmp(line.data(), data + consumed, line.size()) == 0);
    Require(line.find('\n') == std::string::npos);
    consumed += line.size();
    switch (end) {
      case ReadEnd::kNewline:
        Require(consumed < size && data[consumed] == '\n');
        ++consumed;
        break;
      case ReadEnd::kLimit:
        Require(line.size() == kMaxLine);
        break;
      case ReadEnd::kEndOfFile:
        Require(consumed == size);
        more = false;
        break;
      case ReadEnd::kTimedOut:
      case ReadEnd::kError:
        std::abort();
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
    if (StartsWith(reply, "ERR")) {
      Require(engine.config == before && engine.enabled == was_enabled);
      Require(provider.saved.size() == saves);
      continue;
    }
    if (StartsWith(reply, "OK devices")) Require(reply.size() <= kMaxReplyBytes);
    if (StartsWith(reply, "OK latency")) {
      Require(reply == "OK latency engine=1024 quantum=256 rate=48000");
      Require(engine.config == before && engine.enabled == was_enabled);
      Require(provider.saved.size() == saves);
    }
    const bool note = reply.find(" (not saved: disk full)") != std::string::npos;
    if (StartsWith(reply, "OK set ") || IsSwitchReply(reply)) {
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
  ::close(fds[1]);
  return 0;
}
