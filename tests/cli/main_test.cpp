// Runs the built halvex binary and checks what a user sees: output, messages and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli/wav_io.h"
#include "tests/cli/tool_run.h"
#include "tests/cli/wav_bytes.h"
#include "tests/core/ipc/fake_daemon.h"

namespace halvex {
namespace {

using namespace halvex::testing;

// ---- usage and argument scanning ----

TEST(ToolUsage, HelpGoesToStandardErrorAndExitsZero) {
  for (const char* flag : {"-h", "--help"}) {
    const RunResult r = RunTool({flag});
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_EQ(r.out, "");
    const auto lines = Lines(r.err);
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(lines[0], std::string("Usage: ") + kTool + " <command> | " + kTool + " --wav-in IN --wav-out OUT");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Control the running halvexd daemon:");
    EXPECT_EQ(lines[7], "  latency               engine latency, last cycle and rate (frames, Hz)");
    EXPECT_EQ(lines[8], "  set <key> <value>     retune live; keys:");
    const std::string tail = "\nOffline WAV processing (no daemon):\n"
                             "  --wav-in FILE --wav-out FILE [--config FILE] [--block N]\n\n"
                             "Halvex by the Halvex developers\n"
                             "file:///usr/share/doc/halvex/README.md\n";
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
  }
}

TEST(ToolUsage, KeyListIsWrappedAtFortyEightCharacters) {
  const auto lines = Lines(RunTool({"--help"}).err);
  std::vector<std::string> key_lines(lines.begin() + 9, lines.end());
  key_lines.resize(std::find(key_lines.begin(), key_lines.end(), "") - key_lines.begin());
  ASSERT_EQ(key_lines.size(), 10u);
  EXPECT_EQ(key_lines.front(), std::string(24, ' ') + "spatial_algorithm, render_target");
  EXPECT_EQ(key_lines.back(), std::string(24, ' ') + "haas_channel, quantum");
  std::string joined;
  for (const auto& line : key_lines) {
    ASSERT_EQ(line.substr(0, 24), std::string(24, ' '));
    EXPECT_LE(line.size() - 24, 48u) << line;
    joined += (joined.empty() ? "" : ", ") + line.substr(24);
  }
  // The third line cannot take "envelopment": 41 + 2 + 11 > 48.
  EXPECT_EQ(key_lines[2], std::string(24, ' ') + "distance, field_size, field_level, air");
  EXPECT_EQ(std::count(joined.begin(), joined.end(), ','), 29);
  EXPECT_NE(joined.find("wet_dry_ratio, haas_delay_ms, haas_channel"), std::string::npos);
}

TEST(ToolUsage, AnythingButACommandOrBothFilesPrintsUsageAndFails) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"help"}, {"STATUS"}, {"--wav-in", "in.wav"}, {"--wav-out", "out.wav"},
      {"--wav-in", "in.wav", "--wav-out"},  // final option without a value is ignored
  };
  for (const auto& args : cases) {
    const RunResult r = RunTool(args);
    EXPECT_EQ(r.status, 1) << (args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(r.err.rfind("Usage: ", 0), 0u);
    EXPECT_EQ(r.out, "");
  }
}

// ---- control mode ----

TEST(ToolControl, JoinsTheArgumentsIntoOneLineAndPrintsTheReply) {
  FakeDaemon daemon("OK set wet_dry_ratio=0.5\n");
  ASSERT_TRUE(daemon.ok());
  const std::map<std::string, const char*> env = {{"XDG_RUNTIME_DIR", daemon.dir().c_str()}};
  RunResult r = RunTool({"set", "wet_dry_ratio", "0.5"}, env);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "OK set wet_dry_ratio=0.5\n");
  EXPECT_EQ(r.err, "");
  // Nothing is checked on the client: the daemon sees the words as typed.
  RunTool({"set"}, env);
  RunTool({"set", "wet_dry_ratio"}, env);
  RunTool({"status", "extra"}, env);
  RunTool({"off", "--wav-in", "x"}, env);
  EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"set wet_dry_ratio 0.5", "set", "set wet_dry_ratio",
                                                      "status extra", "off --wav-in x"}));
}

TEST(ToolControl, ExitStatusFollowsTheReply) {
  struct Case {
    const char* reply;
    FakeDaemon::Mode mode;
    const char* printed;
    int status;
  };
  const Case cases[] = {
      {"OK\n", FakeDaemon::Mode::kReply, "OK\n", 0},
      {"OK enabled\n", FakeDaemon::Mode::kReply, "OK enabled\n", 0},
      {"O\n", FakeDaemon::Mode::kReply, "O\n", 1},
      {"ok\n", FakeDaemon::Mode::kReply, "ok\n", 1},
      {"ERR usage: set <key> <value>\n", FakeDaemon::Mode::kReply, "ERR usage: set <key> <value>\n", 1},
      {"", FakeDaemon::Mode::kCloseWithoutReply, "\n", 1},
  };
  for (const Case& c : cases) {
    FakeDaemon daemon(c.reply, c.mode);
    ASSERT_TRUE(daemon.ok());
    const RunResult r = RunTool({"status"}, {{"XDG_RUNTIME_DIR", daemon.dir().c_str()}});
    EXPECT_EQ(r.out, c.printed);
    EXPECT_EQ(r.status, c.status) << c.printed;
  }
}

TEST(ToolControl, NoDaemonListeningIsReportedOnStandardOutput) {
  TempDir dir;
  for (const char* command : {"status", "devices", "on", "off", "enable", "disable", "reload", "set",
                              "latency"}) {
    const RunResult r = RunTool({command}, {{"XDG_RUNTIME_DIR", dir.path().c_str()}});
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.out, "ERR cannot reach halvexd (is it running? " + dir.path() + "/halvexd.sock)\n") << command;
  }
}

// ---- offline mode ----

// Renders a test signal through the tool; the fixture keeps files in one temporary directory.
class ToolOffline : public ::testing::Test {
 protected:
  // A 16-bit file with a decaying chirp-like pattern in every channel.
  std::string MakeInput(const std::string& name, uint16_t channels, uint32_t rate, size_t frames,
                        bool same_channels = false) {
    Bytes data;
    for (size_t i = 0; i < frames; ++i)
      for (uint16_t c = 0; c < channels; ++c) {
        const double x = std::sin(0.001 * double(i) * double(i % 977) + (same_channels ? 0 : c)) * 0.6;
        Put16(data, static_cast<uint16_t>(static_cast<int16_t>(x * 32767)));
      }
    return dir_.Write(name, SimpleWav(1, channels, rate, 16, data));
  }
  std::string Out(const std::string& name) { return dir_.File(name); }
  WavData Load(const std::string& path) {
    WavData d;
    std::string error;
    EXPECT_TRUE(ReadWav(path, d, error)) << error;
    return d;
  }

  TempDir dir_;
};

TEST_F(ToolOffline, RendersAndSaysWhatItDid) {
  const std::string in = MakeInput("in.wav", 2, 48000, 3000);
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("out.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "processed 3000 frames, 2 ch -> " + Out("out.wav") + "\n");
  const WavData out = Load(Out("out.wav"));
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.sample_rate, 48000);
  ASSERT_EQ(out.samples.size(), 6000u);
  const WavData original = Load(in);
  EXPECT_NE(out.samples, original.samples);  // the engine did something
}

TEST_F(ToolOffline, OutputDoesNotDependOnBlockSizeOrOptionOrder) {
  const std::string in = MakeInput("in.wav", 2, 48000, 5000);
  ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Out("default.wav")}).status, 0);
  ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Out("b1.wav"), "--block", "1"}).status, 0);
  ASSERT_EQ(RunTool({"--block", "4096", "--wav-out", Out("b4096.wav"), "--wav-in", in}).status, 0);
  ASSERT_EQ(RunTool({"--block", " 333", "stray", "--wav-in", in, "--wav-out", Out("b333.wav")}).status, 0);
  // Not a number reads as 0, which means the default; a trailing --block is ignored.
  ASSERT_EQ(RunTool({"--block", "abc", "--wav-in", in, "--wav-out", Out("babc.wav"), "--block"}).status, 0);
  const std::string reference = Slurp(Out("default.wav"));
  ASSERT_EQ(reference.size(), 56u + 5000u * 8);
  for (const char* name : {"b1.wav", "b4096.wav", "b333.wav", "babc.wav"})
    EXPECT_TRUE(Slurp(Out(name)) == reference) << name;
}

TEST_F(ToolOffline, RepeatedOptionKeepsItsLastValue) {
  const std::string in = MakeInput("in.wav", 2, 48000, 100);
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("first.wav"), "--wav-out", Out("second.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(Exists(Out("first.wav")));
  EXPECT_TRUE(Exists(Out("second.wav")));
}

TEST_F(ToolOffline, RejectsABlockTooLargeToAllocate) {
  const std::string in = MakeInput("in.wav", 2, 48000, 100);
  for (const char* block : {"1048577", "18446744073709551615", "99999999999999999999999", "-1"}) {
    const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("out.wav"), "--block", block});
    EXPECT_EQ(r.status, 1) << block;
    EXPECT_EQ(r.err.rfind("error: block too large", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_FALSE(Exists(Out("out.wav")));
  }
  EXPECT_EQ(RunTool({"--wav-in", in, "--wav-out", Out("max.wav"), "--block", "1048576"}).status, 0);
}

TEST_F(ToolOffline, MonoBecomesTwoIdenticallyProcessedChannels) {
  const std::string mono = MakeInput("mono.wav", 1, 48000, 2000);
  const std::string stereo = MakeInput("stereo.wav", 2, 48000, 2000, /*same_channels=*/true);
  const RunResult r = RunTool({"--wav-in", mono, "--wav-out", Out("mono_out.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "processed 2000 frames, 2 ch -> " + Out("mono_out.wav") + "\n");
  ASSERT_EQ(RunTool({"--wav-in", stereo, "--wav-out", Out("stereo_out.wav")}).status, 0);
  EXPECT_TRUE(Slurp(Out("mono_out.wav")) == Slurp(Out("stereo_out.wav")));
}

TEST_F(ToolOffline, ChannelsBeyondTheFirstPairPassThrough) {
  const std::string in = MakeInput("quad.wav", 4, 48000, 1500);
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("quad_out.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("4 ch"), std::string::npos);
  const WavData a = Load(in), b = Load(Out("quad_out.wav"));
  ASSERT_EQ(b.channels, 4);
  ASSERT_EQ(a.samples.size(), b.samples.size());
  for (size_t f = 0; f < 1500; ++f) {
    EXPECT_EQ(b.samples[f * 4 + 2], a.samples[f * 4 + 2]);
    EXPECT_EQ(b.samples[f * 4 + 3], a.samples[f * 4 + 3]);
  }
}

TEST_F(ToolOffline, OtherRatesAreProcessedWithAWarningAndKept) {
  const std::string in = MakeInput("cd.wav", 2, 44100, 500);
  // Resampling is the default now; --no-resample keeps the literal processing and its warning.
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("cd_out.wav"), "--no-resample"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "warning: input is 44100 Hz; DSP is tuned for 48000 Hz (resampler pending)\n"
                   "processed 500 frames, 2 ch -> " + Out("cd_out.wav") + "\n");
  EXPECT_EQ(Load(Out("cd_out.wav")).sample_rate, 44100);
}

TEST_F(ToolOffline, LessThanOneFrameOfDataGivesAnEmptyFile) {
  Bytes data;
  Put16(data, 0x1234);
  const std::string in = dir_.Write("tiny.wav", SimpleWav(1, 2, 48000, 16, data));
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", Out("tiny_out.wav")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "processed 0 frames, 2 ch -> " + Out("tiny_out.wav") + "\n");
  EXPECT_EQ(Slurp(Out("tiny_out.wav")).size(), 56u);
}

TEST_F(ToolOffline, InputAndOutputErrorsAreOneLineAndTouchNoOutput) {
  const std::string good = MakeInput("in.wav", 2, 48000, 100);
  const std::string junk = dir_.Write("junk.wav", Bytes(100, 'x'));
  Bytes eight;
  eight.assign(8, 0x80);
  const std::string pcm8 = dir_.Write("pcm8.wav", SimpleWav(1, 1, 48000, 8, eight));
  struct Case {
    std::string in, out, message;
  };
  const Case cases[] = {
      {Out("absent.wav"), Out("o1.wav"), "error: cannot open: " + Out("absent.wav") + "\n"},
      {dir_.path(), Out("o5.wav"), "error: cannot open: " + dir_.path() + "\n"},
      {junk, Out("o2.wav"), "error: not a RIFF/WAVE file\n"},
      {pcm8, Out("o3.wav"), "error: unsupported bit depth\n"},
      {good, Out("missing/dir/o4.wav"), "error: cannot write: " + Out("missing/dir/o4.wav") + "\n"},
      {good, "/dev/full", "error: write failed: /dev/full\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunTool({"--wav-in", c.in, "--wav-out", c.out});
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
  for (const char* name : {"o1.wav", "o2.wav", "o3.wav", "o5.wav"}) EXPECT_FALSE(Exists(Out(name)));
}

TEST_F(ToolOffline, AnInputLargerThanTheMemoryLimitStreamsThrough) {
  // Input is streamed now: 160 MiB of 64-bit four-channel silence (5.2 M frames) renders under a
  // 128 MiB address-space cap that decoding it whole (160 MiB of bytes, then 80 MiB of floats)
  // could never meet. Sparse, so it costs no disk; the output goes to a device.
  Bytes header = RiffHeader();
  PutChunk(header, "fmt ", FmtBody(3, 4, 48000, 64), -1);
  PutChunk(header, "data", {}, 160u << 20);
  const std::string in = dir_.Write("huge.wav", header);
  ASSERT_EQ(::truncate(in.c_str(), (160L << 20) + static_cast<long>(header.size())), 0);
  const RunResult r = RunTool({"--wav-in", in, "--wav-out", "/dev/null"}, {}, rlim_t{128} << 20);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "processed " + std::to_string((160u << 20) / 32) + " frames, 4 ch -> /dev/null\n");
}

TEST_F(ToolOffline, ConfigurationFileIsUsedAndABrokenOneFallsBackToDefaults) {
  const std::string in = MakeInput("in.wav", 2, 48000, 2000);
  ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Out("default.wav")}).status, 0);

  std::ofstream(dir_.File("broken.json")) << "{ \"wet_dry_ratio\": ";
  const RunResult broken = RunTool({"--config", dir_.File("broken.json"), "--wav-in", in, "--wav-out", Out("b.wav")});
  EXPECT_EQ(broken.status, 0);
  const auto lines = Lines(broken.err);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("config: ", 0), 0u);
  EXPECT_NE(lines[0].find(" (using defaults/last-good)"), std::string::npos);
  EXPECT_TRUE(Slurp(Out("b.wav")) == Slurp(Out("default.wav")));

  const RunResult absent = RunTool({"--config", dir_.File("none.json"), "--wav-in", in, "--wav-out", Out("n.wav")});
  EXPECT_EQ(absent.status, 0);
  EXPECT_EQ(absent.err.rfind("config: ", 0), 0u);

  // Fully dry: the stage's time-aligned input, bypassing every effect, so it must differ from the wet render.
  std::ofstream(dir_.File("dry.json")) << "{ \"wet_dry_ratio\": 0 }";
  const RunResult dry = RunTool({"--config", dir_.File("dry.json"), "--wav-in", in, "--wav-out", Out("d.wav")});
  EXPECT_EQ(dry.status, 0);
  EXPECT_EQ(dry.err, "processed 2000 frames, 2 ch -> " + Out("d.wav") + "\n");
  EXPECT_FALSE(Slurp(Out("d.wav")) == Slurp(Out("default.wav")));
}

}  // namespace
}  // namespace halvex
