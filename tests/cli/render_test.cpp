// Rendering real music files: formats made by sox and ffmpeg, other rates, broken inputs,
// unwritable outputs, the progress line on a terminal, and batches.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cli/wav_io.h"
#include "tests/cli/tool_run.h"
#include "tests/cli/wav_bytes.h"
#include "tests/support/other_user.h"

namespace halvex {
namespace {

using namespace halvex::testing;

// Stereo "music": plucked harmonic notes with different lines left and right, partials up to
// about 14 kHz (so a misalignment of a fraction of a sample shows), faded in and out.
std::vector<float> Music(int rate, size_t frames) {
  std::vector<float> s(frames * 2, 0.0f);
  const double notes[2][4] = {{220.0, 277.2, 329.6, 415.3}, {164.8, 246.9, 370.0, 554.4}};
  for (int c = 0; c < 2; ++c) {
    for (size_t i = 0; i < frames; ++i) {
      const double t = static_cast<double>(i) / rate;
      const int note = static_cast<int>(t / 0.3) % 4;
      const double since = std::fmod(t, 0.3);
      double x = 0.0;
      for (int h = 1; h * notes[c][note] < 14000.0; ++h) {
        x += std::sin(2 * M_PI * notes[c][note] * h * t) * std::exp(-since * (3.0 + h)) / h;
      }
      const double fade = std::min({1.0, t / 0.05, (static_cast<double>(frames) / rate - t) / 0.05});
      s[i * 2 + c] = static_cast<float>(0.3 * x * fade);
    }
  }
  return s;
}

class ToolRender : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.File(name); }
  std::string MakeMusic(const std::string& name, int rate, size_t frames) {
    WavData d;
    d.sample_rate = rate;
    d.channels = 2;
    d.samples = Music(rate, frames);
    std::string error;
    EXPECT_TRUE(WriteWavFloat32(Path(name), d, error)) << error;
    return Path(name);
  }
  // A test tool's command line, quiet; true when it succeeded.
  static bool Sh(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }
  // Any audio file decoded by ffmpeg into a float WAV, then read with our reader.
  WavData Decode(const std::string& path) {
    const std::string wav = path + ".decoded.wav";
    EXPECT_TRUE(Sh("ffmpeg -y -i '" + path + "' -c:a pcm_f32le '" + wav + "'")) << path;
    WavData d;
    std::string error;
    EXPECT_TRUE(ReadWav(wav, d, error)) << error;
    std::remove(wav.c_str());
    return d;
  }
  // Names in the folder, so tests can see that nothing stray was left.
  std::vector<std::string> Listing(const std::string& folder) const {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
      }
      ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  TempDir dir_;
};

// Difference of a against b in dB relative to b, over the first two channels, edges left out.
double ErrorDb(const WavData& a, const WavData& b, size_t skip) {
  double error = 0.0, energy = 0.0;
  const size_t frames = std::min(a.samples.size() / a.channels, b.samples.size() / b.channels);
  for (size_t i = skip; i + skip < frames; ++i) {
    for (int c = 0; c < 2; ++c) {
      const double d = a.samples[i * a.channels + c] - b.samples[i * b.channels + c];
      error += d * d;
      energy += double(b.samples[i * b.channels + c]) * b.samples[i * b.channels + c];
    }
  }
  return 10.0 * std::log10(error / energy);
}

std::string Summary(size_t frames, const std::string& out) {
  return "processed " + std::to_string(frames) + " frames, 2 ch -> " + out;
}

// Compressed inputs made by the test tools render like the WAV they were made from: lossless
// ones identically, lossy ones within their coding noise (-12 dB is far above what a 160 kbit/s
// codec costs on this music, far below the 0 dB or more of a wrong rate, offset or channel order).
TEST_F(ToolRender, CompressedInputsRenderLikeTheirSource) {
  const size_t frames = 96000;
  const std::string wav = Path("cd.wav");  // 16-bit, so that lossless copies hold exactly its samples
  ASSERT_TRUE(Sh("sox '" + MakeMusic("music.wav", 48000, frames) + "' -b 16 '" + wav + "'"));
  ASSERT_EQ(RunTool({"--wav-in", wav, "--wav-out", Path("ref.wav")}).status, 0);
  const WavData reference = Decode(Path("ref.wav"));
  struct Case {
    const char* name;
    std::string make;
    double max_error_db;
  };
  const Case cases[] = {
      {"in.flac", "sox '" + wav + "' '" + Path("in.flac") + "'", 0.0},
      {"in.aiff", "sox '" + wav + "' '" + Path("in.aiff") + "'", 0.0},
      {"in.ogg", "ffmpeg -y -i '" + wav + "' -c:a libvorbis -q:a 6 '" + Path("in.ogg") + "'", -12.0},
      {"in.mp3", "ffmpeg -y -i '" + wav + "' -b:a 192k '" + Path("in.mp3") + "'", -12.0},
      {"in.opus", "ffmpeg -y -i '" + wav + "' -c:a libopus -b:a 160k '" + Path("in.opus") + "'", -12.0},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Sh(c.make)) << c.make;
    const std::string out = Path(std::string(c.name) + ".wav");
    const RunResult r = RunTool({"--wav-in", Path(c.name), "--wav-out", out});
    EXPECT_EQ(r.status, 0) << c.name << r.err;
    EXPECT_EQ(r.err, Summary(frames, out) + "\n") << c.name;
    const WavData rendered = Decode(out);
    if (c.max_error_db == 0.0) {
      EXPECT_EQ(rendered.samples, reference.samples) << c.name;  // lossless: the very same render
    } else {
      EXPECT_LT(ErrorDb(rendered, reference, 0), c.max_error_db) << c.name;
    }
  }
}

// Every output format decodes (by ffmpeg) back to the float render, with its frame count.
TEST_F(ToolRender, OutputFormatFollowsTheExtension) {
  const size_t frames = 96000;
  const std::string wav = MakeMusic("music.wav", 48000, frames);
  ASSERT_EQ(RunTool({"--wav-in", wav, "--wav-out", Path("ref.wav")}).status, 0);
  const WavData reference = Decode(Path("ref.wav"));
  struct Case {
    const char* name;
    const char* codec;  // as ffprobe names it
    double max_error_db;
  };
  // 24-bit formats keep everything down to 2^-23: far below -90 dB on this music.
  const Case cases[] = {{"o.flac", "flac", -90.0}, {"o.aiff", "pcm_s24be", -90.0}, {"o.ogg", "vorbis", -12.0},
                        {"o.opus", "opus", -12.0}, {"o.mp3", "mp3", -12.0},        {"O.FLAC", "flac", -90.0}};
  for (const Case& c : cases) {
    const RunResult r = RunTool({"--wav-in", wav, "--wav-out", Path(c.name)});
    EXPECT_EQ(r.err, Summary(frames, Path(c.name)) + "\n") << c.name;
    const std::string probe = Path(c.name) + ".probe";
    ASSERT_TRUE(Sh("ffprobe -v error -show_entries stream=codec_name,bit_rate -of csv=p=0 '" + Path(c.name) +
                   "' > '" + probe + "'"));
    EXPECT_EQ(Slurp(probe).rfind(c.codec, 0), 0u) << c.name << ": " << Slurp(probe);
    const WavData back = Decode(Path(c.name));
    EXPECT_EQ(back.samples.size(), frames * 2) << c.name;
    EXPECT_EQ(back.sample_rate, 48000);
    EXPECT_LT(ErrorDb(back, reference, 0), c.max_error_db) << c.name;
  }
  // The MP3 is a constant 320 kbit/s.
  ASSERT_TRUE(Sh("ffprobe -v error -show_entries stream=bit_rate -of csv=p=0 '" + Path("o.mp3") + "' > '" +
                 Path("rate") + "'"));
  EXPECT_EQ(std::stoi(Slurp(Path("rate"))), 320000);

  const RunResult bad = RunTool({"--wav-in", wav, "--wav-out", Path("o.m4a")});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "error: unsupported output format: .m4a\n");
  EXPECT_FALSE(Exists(Path("o.m4a")));
}

// A 44.1 kHz render, brought to 48 kHz, is the 48 kHz render of the same music: the engine ran at
// its own rate. Measured: -45 dB (two resamplers each way, and an engine whose adaptive parts
// answer small input differences). Played 8.8 % off tune (--no-resample) it is -18 dB, and the
// 48 kHz render against itself one frame late is checked below to sit above the bound too, so
// -35 dB tells in tune and aligned from either fault.
TEST_F(ToolRender, RenderAt44100IsInTuneWithTheRenderAt48000) {
  const std::string music48 = MakeMusic("music48.wav", 48000, 144000);
  const std::string music44 = Path("music44.wav");
  ASSERT_TRUE(Sh("sox '" + music48 + "' -e floating-point -b 32 '" + music44 + "' rate -v 44100"));
  ASSERT_EQ(RunTool({"--wav-in", music48, "--wav-out", Path("r48.wav")}).status, 0);
  const RunResult r = RunTool({"--wav-in", music44, "--wav-out", Path("r44.flac")});
  EXPECT_EQ(r.err, "note: input is 44100 Hz; processed at 48000 Hz and resampled back\n" +
                       Summary(132300, Path("r44.flac")) + "\n");
  ASSERT_EQ(RunTool({"--wav-in", music44, "--wav-out", Path("literal44.wav"), "--no-resample"}).status, 0);

  const WavData reference = Decode(Path("r48.wav"));
  for (const char* name : {"r44.flac", "literal44.wav"}) {
    ASSERT_TRUE(Sh("sox '" + Path(name) + "' -e floating-point -b 32 '" + Path(name) + ".48.wav' rate -v 48000"));
    const WavData back = Decode(Path(name) + ".48.wav");
    ASSERT_EQ(back.samples.size(), reference.samples.size());
    const double error = ErrorDb(back, reference, 4800);
    if (std::string(name) == "r44.flac") {
      EXPECT_LT(error, -35.0);
    } else {
      EXPECT_GT(error, -35.0);
    }
  }
  WavData late = reference;
  late.samples.erase(late.samples.begin(), late.samples.begin() + 2);
  EXPECT_GT(ErrorDb(late, reference, 4800), -35.0);
}

// Every rate comes back with exactly its own frame count, whatever the block size.
TEST_F(ToolRender, OtherRatesKeepTheirRateAndExactFrameCount) {
  for (const int rate : {44100, 88200, 96000, 22050}) {
    const size_t frames = static_cast<size_t>(rate) + 12345;
    const std::string name = std::to_string(rate);
    const std::string in = MakeMusic("in" + name + ".wav", rate, frames);
    for (const char* ext : {".wav", ".flac"}) {
      const std::string out = Path(name + ext);
      const RunResult r = RunTool({"--wav-in", in, "--wav-out", out});
      EXPECT_EQ(Lines(r.err).back(), Summary(frames, out)) << rate;
      const WavData back = Decode(out);
      EXPECT_EQ(back.sample_rate, rate);
      EXPECT_EQ(back.samples.size(), frames * 2) << rate << ext;
    }
    ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Path(name + "-1.wav"), "--block", "1"}).status, 0);
    ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Path(name + "-4096.wav"), "--block", "4096"}).status, 0);
    EXPECT_TRUE(Slurp(Path(name + "-1.wav")) == Slurp(Path(name + ".wav"))) << rate;
    EXPECT_TRUE(Slurp(Path(name + "-4096.wav")) == Slurp(Path(name + ".wav"))) << rate;
  }
}

// Opus and MP3 know a few rates; what they cannot hold is written at the engine's 48000 Hz.
// Rates no resampler should take (a header saying 1 Hz) are refused unless --no-resample.
TEST_F(ToolRender, RatesAFormatOrTheResamplerCannotTake) {
  const std::string cd = MakeMusic("cd.wav", 44100, 44100);
  RunResult r = RunTool({"--wav-in", cd, "--wav-out", Path("cd.opus")});
  EXPECT_EQ(r.err, "note: input is 44100 Hz; processed and written at 48000 Hz (.opus cannot hold 44100 Hz)\n" +
                       Summary(48000, Path("cd.opus")) + "\n");
  EXPECT_EQ(Decode(Path("cd.opus")).samples.size(), 96000u);
  const std::string hires = MakeMusic("hires.wav", 96000, 9600);
  r = RunTool({"--wav-in", hires, "--wav-out", Path("hires.mp3")});
  EXPECT_EQ(Lines(r.err).back(), Summary(4800, Path("hires.mp3")));

  const std::string odd = dir_.Write("odd.wav", SimpleWav(1, 2, 1, 16, Bytes(400, 0)));
  r = RunTool({"--wav-in", odd, "--wav-out", Path("odd.flac")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: cannot resample 1 Hz (only 1000 to 1536000 Hz; try --no-resample)\n");
  EXPECT_FALSE(Exists(Path("odd.flac")));
  r = RunTool({"--wav-in", odd, "--wav-out", Path("odd.wav"), "--no-resample"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Lines(r.err).back(), Summary(100, Path("odd.wav")));
}

// A broken compressed file gives a short render or one clear error; never a crash, never a
// file left behind but the render.
TEST_F(ToolRender, TruncatedOrCorruptFilesRenderShortOrFailCleanly) {
  const std::string wav = MakeMusic("music.wav", 44100, 88200);
  ASSERT_TRUE(Sh("sox '" + wav + "' -b 16 '" + Path("whole.flac") + "'"));
  ASSERT_TRUE(Sh("ffmpeg -y -i '" + wav + "' -b:a 192k '" + Path("whole.mp3") + "'"));
  ASSERT_TRUE(Sh("ffmpeg -y -i '" + wav + "' -c:a libvorbis '" + Path("whole.ogg") + "'"));
  const std::string broken = Path("broken");
  ::mkdir(broken.c_str(), 0755);
  struct Case {
    const char* source;
    const char* name;
    const char* damage;  // a shell command on $F
  };
  const Case cases[] = {
      {"whole.flac", "half.flac", "truncate -s $(($(stat -c %s \"$F\") / 2)) \"$F\""},
      {"whole.mp3", "half.mp3", "truncate -s $(($(stat -c %s \"$F\") / 2)) \"$F\""},
      {"whole.ogg", "half.ogg", "truncate -s $(($(stat -c %s \"$F\") / 2)) \"$F\""},
      {"whole.flac", "head.flac", "truncate -s 100 \"$F\""},
      {"whole.ogg", "head.ogg", "truncate -s 100 \"$F\""},
      {"whole.flac", "noise.flac", "dd if=/dev/urandom of=\"$F\" bs=1 seek=4000 count=3000 conv=notrunc"},
      {"whole.mp3", "noise.mp3", "dd if=/dev/urandom of=\"$F\" bs=1 seek=4000 count=3000 conv=notrunc"},
      {"whole.ogg", "noise.ogg", "dd if=/dev/urandom of=\"$F\" bs=1 seek=4000 count=3000 conv=notrunc"},
      {"whole.flac", "empty.flac", "truncate -s 0 \"$F\""},
  };
  for (const Case& c : cases) {
    const std::string in = broken + "/" + c.name;
    ASSERT_TRUE(Sh("cp '" + Path(c.source) + "' '" + in + "' && F='" + in + "' && " + c.damage));
    const std::string out = broken + "/" + c.name + ".out.flac";
    const RunResult r = RunTool({"--wav-in", in, "--wav-out", out});
    ASSERT_TRUE(r.status == 0 || r.status == 1) << c.name << " died: " << r.status;
    // Our lines only (the MP3 decoder has its own chatter on standard error).
    std::vector<std::string> ours;
    for (const std::string& line : Lines(r.err)) {
      if (std::regex_match(line, std::regex("(error|warning|note|processed).*"))) ours.push_back(line);
    }
    ASSERT_FALSE(ours.empty()) << c.name;
    if (r.status == 1) {
      EXPECT_EQ(ours.back().rfind("error: ", 0), 0u) << c.name;
      EXPECT_NE(ours.back().find(in), std::string::npos) << ours.back();
      EXPECT_EQ(std::count_if(ours.begin(), ours.end(), [](const std::string& l) { return l.rfind("error", 0) == 0; }), 1);
      EXPECT_FALSE(Exists(out)) << c.name;
    } else {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(ours.back(), m, std::regex("processed ([0-9]+) frames, 2 ch -> .*"))) << ours.back();
      EXPECT_LE(std::stoul(m[1]), 88200u) << c.name;
      EXPECT_TRUE(Exists(out));
    }
    std::remove(out.c_str());
  }
  // Only the damaged inputs are left: no temporaries.
  EXPECT_EQ(Listing(broken).size(), std::size(cases));
}

TEST_F(ToolRender, UnwritableDestinationsFailBeforeRenderingAndLeaveNothing) {
  const std::string in = MakeMusic("music.wav", 48000, 4800);
  ::mkdir(Path("folder").c_str(), 0755);
  const std::string cases[] = {
      Path("missing/out.flac"),  // no such folder
      Path("music.wav/out.wav"),  // a file where a folder should be
      Path("folder"),             // a folder where the file should be
      "/proc/halvex-test-out.flac",  // a file system that takes no new files, even from root
  };
  for (const std::string& out : cases) {
    const RunResult r = RunTool({"--wav-in", in, "--wav-out", out});
    EXPECT_EQ(r.status, 1) << out;
    EXPECT_EQ(r.err, "error: cannot write: " + out + "\n");
  }
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"folder", "music.wav"}));
  EXPECT_TRUE(Listing(Path("folder")).empty());
}

TEST_F(ToolRender, AnInterruptedRenderLeavesNothingBehind) {
  const std::string in = Path("music.wav");
  ASSERT_TRUE(Sh("sox -n -r 44100 -c 2 -b 16 '" + in + "' synth 60 pluck C3"));
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 2);
    ::execl(kTool, kTool, "--wav-in", in.c_str(), "--wav-out", Path("out.flac").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait for the temporary to appear, then interrupt as Ctrl-C would.
  for (int i = 0; i < 500 && Listing(dir_.path()).size() < 2; ++i) ::usleep(10000);
  ASSERT_EQ(Listing(dir_.path()).size(), 2u);
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"music.wav"}));
}

TEST_F(ToolRender, ReplacingAFileKeepsItsPermissionsAndALinkIsReplacedNotFollowed) {
  const std::string in = MakeMusic("music.wav", 48000, 4800);
  std::ofstream(Path("old.flac")) << "old";
  ::chmod(Path("old.flac").c_str(), 0640);
  ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Path("old.flac")}).status, 0);
  struct stat st {};
  ASSERT_EQ(::stat(Path("old.flac").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Decode(Path("old.flac")).samples.size(), 9600u);

  std::ofstream(Path("kept.flac")) << "kept";
  ASSERT_EQ(::symlink("kept.flac", Path("link.flac").c_str()), 0);
  ASSERT_EQ(RunTool({"--wav-in", in, "--wav-out", Path("link.flac")}).status, 0);
  ASSERT_EQ(::lstat(Path("link.flac").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(Decode(Path("link.flac")).samples.size(), 9600u);
  EXPECT_EQ(Slurp(Path("kept.flac")), "kept");
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"kept.flac", "link.flac", "music.wav", "old.flac"}));
}

// Another user links the expected output names in a shared sticky folder to a file of ours: the
// render refuses them, and the file they point to is untouched.
TEST_F(ToolRender, LinksAnotherUserPlantedInASharedFolderAreRefused) {
  if (!test::CanActAsAnotherUser()) GTEST_SKIP() << "needs root to act as a second user";
  const std::string in = MakeMusic("music.wav", 48000, 4800);
  const std::string victim = Path("victim");
  std::ofstream(victim) << "precious";
  const std::string shared = test::MakeStickyFolder();
  ASSERT_FALSE(shared.empty());
  const std::string single = shared + "/out.wav";
  const std::string batch = shared + "/music.flac";
  ASSERT_TRUE(test::AsNobody([&] {
    return ::symlink(victim.c_str(), single.c_str()) == 0 && ::symlink(victim.c_str(), batch.c_str()) == 0;
  }));

  RunResult r = RunTool({"--wav-in", in, "--wav-out", single});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: refusing a link owned by another user: " + single + "\n");
  r = RunTool({"render", "--out-dir", shared, "--format", "flac", in});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refusing a link owned by another user: " + batch), std::string::npos) << r.err;

  EXPECT_EQ(Slurp(victim), "precious");
  EXPECT_EQ(Listing(shared), (std::vector<std::string>{"music.flac", "out.wav"}));
  struct stat st {};
  ASSERT_EQ(::lstat(single.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  test::RemoveFolder(shared);
}

// Under a pseudo-terminal: a self-updating line, erased before the summary; the same run without a
// terminal says nothing but its lines (the other tests compare standard error whole).
TEST_F(ToolRender, ProgressLineOnATerminalOnly) {
  const std::string in = MakeMusic("music.wav", 44100, 44100 * 15);
  const std::string log = Path("tty.log");
  ASSERT_TRUE(Sh("script -qec \"" + std::string(kTool) + " --wav-in '" + in + "' --wav-out '" + Path("o.flac") +
                 "'\" /dev/null > '" + log + "'"));
  const std::string tty = Slurp(log);
  const std::regex drawing("\r *[0-9]+%  [0-9]+\\.[0-9]x real time  [0-9]+:[0-9]{2} left\033\\[K");
  EXPECT_TRUE(std::regex_search(tty, drawing)) << tty;
  const std::string summary = Summary(44100 * 15, Path("o.flac"));
  EXPECT_NE(tty.find("\r\033[K" + summary + "\r\n"), std::string::npos) << tty;
  EXPECT_EQ(tty.substr(tty.size() - summary.size() - 2), summary + "\r\n");  // nothing drawn after it

  const RunResult plain = RunTool({"--wav-in", in, "--wav-out", Path("p.flac")});
  EXPECT_EQ(plain.err, "note: input is 44100 Hz; processed at 48000 Hz and resampled back\n" +
                           Summary(44100 * 15, Path("p.flac")) + "\n");
}

TEST_F(ToolRender, LoudnessLineMeasuresInputAndOutput) {
  // EBU's reference: a 1 kHz sine at -23 dBFS in both channels reads -23.0 LUFS.
  const std::string sine = Path("sine.wav");
  ASSERT_TRUE(Sh("sox -n -r 48000 -c 2 -b 24 '" + sine + "' synth 10 sine 1000 gain -23"));
  const RunResult r = RunTool({"--wav-in", sine, "--wav-out", Path("o.wav"), "--loudness"});
  ASSERT_EQ(r.status, 0);
  const auto lines = Lines(r.err);
  ASSERT_EQ(lines.size(), 2u) << r.err;
  EXPECT_EQ(lines[0], Summary(480000, Path("o.wav")));
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[1], m,
                               std::regex("loudness: in (-23\\.0) LUFS, out (-?[0-9]+\\.[0-9]) LUFS, "
                                          "true peak (-?[0-9]+\\.[0-9]) dBTP")))
      << lines[1];
  EXPECT_LT(std::stod(m[3]), 0.5);  // the limiter holds the peaks
}

class ToolBatch : public ToolRender {};

TEST_F(ToolBatch, RendersEveryFileInOrderTheSameForAnyNumberOfJobs) {
  std::vector<std::string> files = {MakeMusic("a.wav", 48000, 30000), MakeMusic("b.wav", 44100, 50000),
                                    MakeMusic("c.wav", 96000, 20000)};
  ASSERT_TRUE(Sh("sox '" + files[1] + "' -b 16 '" + Path("d.flac") + "'"));
  files.push_back(Path("d.flac"));
  files.push_back(Path("absent.ogg"));
  files.push_back(MakeMusic("e.wav", 22050, 9000));
  const std::vector<size_t> frames = {30000, 50000, 20000, 50000, 0, 9000};
  std::string reference_err;
  for (const char* jobs : {"1", "2", "5"}) {
    const std::string out = Path(std::string("out") + jobs);
    std::vector<std::string> args = {"render", "--out-dir", out, "--jobs", jobs, "--format", "flac"};
    args.insert(args.end(), files.begin(), files.end());
    const RunResult r = RunTool(args);
    EXPECT_EQ(r.status, 1);  // one input is missing
    std::vector<std::string> summaries;
    for (const std::string& line : Lines(r.err)) {
      if (line.rfind("note: ", 0) != 0) summaries.push_back(line);
    }
    ASSERT_EQ(summaries.size(), files.size()) << r.err;
    for (size_t i = 0; i < files.size(); ++i) {
      const std::string stem = files[i].substr(files[i].rfind('/') + 1, files[i].rfind('.') - files[i].rfind('/') - 1);
      if (frames[i] == 0) {
        EXPECT_EQ(summaries[i], "error: cannot open: " + files[i]);
        EXPECT_FALSE(Exists(out + "/" + stem + ".flac"));
      } else {
        EXPECT_EQ(summaries[i], Summary(frames[i], out + "/" + stem + ".flac"));
      }
    }
    if (reference_err.empty()) {
      reference_err = r.err;
      continue;
    }
    // Same lines, and byte for byte the same files, as with one job.
    std::string expected = reference_err;
    for (size_t at; (at = expected.find(Path("out1"))) != std::string::npos;) expected.replace(at, Path("out1").size(), out);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(Listing(out), Listing(Path("out1")));
    for (const std::string& name : Listing(out)) {
      EXPECT_TRUE(Slurp(out + "/" + name) == Slurp(Path("out1/" + name))) << jobs << " " << name;
    }
  }
}

TEST_F(ToolBatch, RefusesClashingNamesAndBadOptions) {
  const std::string a = MakeMusic("a.wav", 48000, 4800);
  ::mkdir(Path("sub").c_str(), 0755);
  const std::string b = MakeMusic("sub/a.wav", 48000, 4800);
  RunResult r = RunTool({"render", "--out-dir", Path("out"), a, b});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, Summary(4800, Path("out/a.wav")) + "\nerror: " + b +
                       ": same output name as an earlier file: " + Path("out/a.wav") + "\n");
  // Rendering into the input's own folder under its own name would overwrite the music.
  r = RunTool({"render", "--out-dir", dir_.path(), a});
  EXPECT_EQ(r.err, "error: " + a + ": output would replace its input: " + a + "\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"render", a}, "error: render needs --out-dir DIR\n"},
      {{"render", "--out-dir", Path("o")}, "error: render needs at least one file\n"},
      {{"render", "--out-dir", Path("o"), "--jobs", "0", a}, "error: --jobs needs a number from 1 to 256: 0\n"},
      {{"render", "--out-dir", Path("o"), "--format", "m4a", a}, "error: unsupported output format: .m4a\n"},
      {{"render", "--out-dir", Path("o"), "--fast", a}, "error: unknown option: --fast\n"},
      {{"render", "--out-dir", Path("o"), a, "--jobs"}, "error: missing value for --jobs\n"},
  };
  for (const auto& [args, message] : cases) {
    r = RunTool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
  }
  EXPECT_FALSE(Exists(Path("o")));
}

}  // namespace
}  // namespace halvex
