// halvex: sends one control command to halvexd, or renders audio files offline.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/batch_runner.h"
#include "cli/offline_runner.h"
#include "cli/output_file.h"
#include "core/about.h"
#include "core/config/config_params.h"
#include "core/ipc/control_words.h"
#include "core/ipc/socket_client.h"
#include "core/ipc/socket_path.h"

namespace halvex {
namespace {

constexpr size_t kKeyLineWidth = 48;
constexpr const char* kKeyIndent = "                        ";  // lines up with the command help

void PrintKeyList() {
  std::string line;
  for (size_t i = 0; i < ParamKeyCount(); ++i) {
    const std::string key = ParamKeyAt(i);
    if (line.empty()) {
      line = key;
    } else if (line.size() + 2 + key.size() <= kKeyLineWidth) {
      line += ", " + key;
    } else {
      std::fprintf(stderr, "%s%s\n", kKeyIndent, line.c_str());
      line = key;
    }
  }
  std::fprintf(stderr, "%s%s\n\n", kKeyIndent, line.c_str());
}

int RunControl(int argc, char** argv) {
  std::string line = argv[1];
  for (int i = 2; i < argc; ++i) line += std::string(" ") + argv[i];
  const std::string reply = SocketClient::SendCommand(DefaultSocketPath(), line);
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  std::fputc('\n', stdout);
  return reply.size() >= 2 && reply.compare(0, 2, "OK") == 0 ? 0 : 1;
}

// Unknown words are skipped one by one; an option with no value after it is ignored; the two
// flags take none, so they count even last.
Options ScanOfflineOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--no-resample") == 0) {
      options.no_resample = true;
      continue;
    }
    if (std::strcmp(arg, "--loudness") == 0) {
      options.loudness = true;
      continue;
    }
    if (i + 1 >= argc) break;
    const char* value = argv[i + 1];
    if (std::strcmp(arg, "--wav-in") == 0) {
      options.wav_in = value;
    } else if (std::strcmp(arg, "--wav-out") == 0) {
      options.wav_out = value;
    } else if (std::strcmp(arg, "--config") == 0) {
      options.config_path = value;
    } else if (std::strcmp(arg, "--block") == 0) {
      options.block = std::strtoul(value, nullptr, 10);
    } else {
      continue;
    }
    ++i;
  }
  return options;
}

int RunRender(int argc, char** argv) {
  BatchOptions options;
  std::string error;
  if (!ParseBatchOptions(std::vector<std::string>(argv + 2, argv + argc), options, error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return 1;
  }
  return RunBatch(options);
}

}  // namespace

void PrintUsage(const char* program) {
  std::fprintf(stderr, "Usage: %s <command> | %s --wav-in IN --wav-out OUT\n\n", program, program);
  std::fprintf(stderr,
               "Control the running halvexd daemon:\n"
               "  status                show state\n"
               "  devices               list output devices (name|description|priority|active)\n"
               "  on | off              enable / disable DSP (off = pass-through)\n"
               "  reload                reload the config file\n"
               "  latency               engine latency, last cycle and rate (frames, Hz)\n"
               "  set <key> <value>     retune live; keys:\n");
  PrintKeyList();
  std::fprintf(stderr,
               "Presets (every key above but output_device, by name):\n"
               "  preset                the preset in force, or none once a setting changed\n"
               "  preset list | save NAME | load NAME | delete NAME\n"
               "                        NAME: 1-64 of A-Z a-z 0-9 - _ . (no leading .)\n"
               "  preset bind DEVICE NAME | unbind DEVICE\n"
               "                        load NAME whenever DEVICE becomes the output\n"
               "  preset fallback NAME | fallback none\n"
               "                        the preset for devices without a binding\n"
               "  preset bindings       list bindings (DEVICE=NAME, *=fallback)\n"
               "Apps that bypass the engine (APP: application name or binary):\n"
               "  bypass add APP | remove APP | list\n"
               "  streams               playback streams (app|processed or app|bypassed)\n\n");
  std::fprintf(stderr,
               "Render an album (no daemon):\n"
               "  render --out-dir DIR [--jobs N] [--format EXT] [--config FILE] FILE...\n"
               "                        every FILE into DIR under its own name, N at a time\n"
               "                        (default: one per core), as EXT when given\n"
               "Options of both offline forms:\n"
               "  --no-resample         process other rates as if they were 48000 Hz\n"
               "  --loudness            add the loudness of input and output and the true peak\n"
               "Reads WAV, FLAC, Ogg Vorbis, Opus, MP3, AIFF, W64, RF64; writes what the output's\n"
               "extension says: .wav (32-bit float) .flac (24-bit) .ogg .opus .mp3 (320 kbit/s) .aiff\n\n"
               "Offline WAV processing (no daemon):\n"
               "  --wav-in FILE --wav-out FILE [--config FILE] [--block N]\n\n");
  std::fprintf(stderr, "%s by %s\n%s\n", kProductName, kMakerName, kProjectPage);
}

}  // namespace halvex

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  const char* program = argc > 0 ? argv[0] : "halvex";
  if (argc < 2) {
    halvex::PrintUsage(program);
    return 1;
  }
  if (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) {
    halvex::PrintUsage(program);
    return 0;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::fputs(halvex::VersionLine("halvex").c_str(), stdout);
    return 0;
  }
  if (halvex::IsControlCommand(argv[1])) return halvex::RunControl(argc, argv);
  halvex::RemoveTemporariesOnSignals();
  if (std::strcmp(argv[1], "render") == 0) return halvex::RunRender(argc, argv);

  const halvex::Options options = halvex::ScanOfflineOptions(argc, argv);
  if (!options.wav_in.empty() && !options.wav_out.empty()) return halvex::RunWavMode(options);
  halvex::PrintUsage(program);
  return 1;
}
