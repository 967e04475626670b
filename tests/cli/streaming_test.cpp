// The pieces under the streaming render: the resampler's alignment, the streamed WAV reader against
// the whole-file decoder, and output files that appear only when complete.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "cli/output_file.h"
#include "cli/resampler.h"
#include "cli/wav_io.h"
#include "cli/wav_sink.h"
#include "cli/wav_source.h"
#include "tests/cli/wav_bytes.h"

namespace halvex {
namespace {

using namespace halvex::testing;

std::vector<float> Resample(double from, double to, const std::vector<float>& in, size_t chunk) {
  Resampler r(from, to, 1);
  EXPECT_TRUE(r.ok()) << r.error();
  std::vector<float> out;
  for (size_t at = 0; at < in.size(); at += chunk) r.Process(in.data() + at, std::min(chunk, in.size() - at), out);
  r.Flush(out);
  return out;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

size_t Peak(const std::vector<float>& s) {
  size_t at = 0;
  for (size_t i = 0; i < s.size(); ++i) if (std::fabs(s[i]) > std::fabs(s[at])) at = i;
  return at;
}

// An impulse lands where its time says at the new rate, the length scales exactly, and the values
// do not depend on how the input was cut: the frame-exact render rests on all three.
TEST(Resampling, OutputIsTimeAlignedExactlyScaledAndIndependentOfChunking) {
  const struct { double from, to; size_t frames, impulse; } cases[] = {
      {44100, 48000, 44100, 1000}, {48000, 44100, 48001, 1000}, {96000, 48000, 96000, 5001}, {22050, 48000, 7000, 300}};
  for (const auto& c : cases) {
    std::vector<float> in(c.frames, 0.0f);
    in[c.impulse] = 1.0f;
    const std::vector<float> out = Resample(c.from, c.to, in, 4096);
    EXPECT_EQ(out.size(), static_cast<size_t>(std::lround(c.frames * c.to / c.from))) << c.from << "->" << c.to;
    EXPECT_NEAR(static_cast<double>(Peak(out)), c.impulse * c.to / c.from, 0.5) << c.from << "->" << c.to;
    EXPECT_EQ(Resample(c.from, c.to, in, 1), out) << c.from << "->" << c.to;
    EXPECT_EQ(Resample(c.from, c.to, in, 333), out) << c.from << "->" << c.to;
  }
}

// Streaming a file from disk decodes exactly what decoding it whole in memory does.
TEST(WavStreaming, ReadsWhatTheWholeFileDecoderReads) {
  Bytes pcm24, pcm16, f64;
  for (int i = 0; i < 3000; ++i) {
    const int v = (i * 7919) % 65536 - 32768;
    Put16(pcm16, static_cast<uint16_t>(v));
    for (int b = 0; b < 3; ++b) pcm24.push_back(static_cast<uint8_t>((v * 255) >> (8 * b)));
    const double d = v / 32768.0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&d);
    f64.insert(f64.end(), p, p + 8);
  }
  Bytes list_between = RiffHeader();
  PutChunk(list_between, "fmt ", FmtBody(1, 2, 44100, 16));
  PutChunk(list_between, "LIST", Bytes(5, 'x'));  // odd: followed by a pad byte
  PutChunk(list_between, "data", pcm16);
  Bytes oversized = RiffHeader();
  PutChunk(oversized, "fmt ", FmtBody(1, 3, 48000, 24));
  PutChunk(oversized, "data", pcm24, 0x7FFFFFFF);  // cut to the bytes present
  Bytes extensible = RiffHeader();
  PutChunk(extensible, "fmt ", ExtensibleFmtBody(3, 1, 96000, 64));
  PutChunk(extensible, "data", f64);
  const Bytes files[] = {Finish(list_between), oversized, Finish(extensible),
                         SimpleWav(1, 1, 8000, 16, pcm16)};

  TempDir dir;
  for (const Bytes& bytes : files) {
    WavData whole;
    std::string error;
    ASSERT_TRUE(DecodeWav(bytes.data(), bytes.size(), whole, error)) << error;
    WavSource source(dir.Write("f.wav", bytes));
    ASSERT_TRUE(source.ok()) << source.error();
    EXPECT_EQ(source.Format().sample_rate, whole.sample_rate);
    const size_t channels = static_cast<size_t>(source.Format().channels);
    std::vector<float> streamed, block(1000 * channels);
    for (size_t n; (n = source.Read(block.data(), 1000)) > 0;) streamed.insert(streamed.end(), block.begin(), block.begin() + n * channels);
    if (whole.channels == 1) {  // mono arrives on both channels
      std::vector<float> doubled;
      for (float s : whole.samples) doubled.insert(doubled.end(), {s, s});
      whole.samples = doubled;
    }
    whole.samples.resize(whole.samples.size() / channels * channels);  // whole frames only
    EXPECT_EQ(streamed, whole.samples);
    EXPECT_EQ(*source.ExpectedFrames(), streamed.size() / channels);
  }
}

TEST(OutputFiles, AppearOnlyOnCommitAndLeaveNothingOtherwise) {
  TempDir dir;
  const std::string target = dir.File("out.flac");
  {
    OutputFile file;
    std::string error;
    ASSERT_TRUE(file.Open(target, error)) << error;
    ASSERT_EQ(::write(file.fd(), "abc", 3), 3);
    EXPECT_FALSE(Exists(target));
  }  // dropped: a failed render
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + dir.path() + "')\"").c_str()), 0);

  OutputFile file;
  std::string error;
  ASSERT_TRUE(file.Open(target, error));
  ASSERT_EQ(::write(file.fd(), "abc", 3), 3);
  ASSERT_TRUE(file.Commit(error)) << error;
  EXPECT_EQ(ReadBytes(target), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(std::system(("test \"$(ls -A '" + dir.path() + "')\" = out.flac").c_str()), 0);

  // Devices are written in place: /dev/null must stay a device.
  OutputFile device;
  ASSERT_TRUE(device.Open("/dev/null", error));
  ASSERT_TRUE(device.Commit(error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// Blocks are gathered up to a megabyte; one that does not fit goes out with what was gathered
// before it, uncopied. The file must not depend on how the blocks fell, nor on the expected
// length being right.
TEST(WavStreaming, SinkWritesTheWholeFileWritersBytesWhateverTheBlocks) {
  constexpr size_t kFrames = 300000;  // 2.4 MB of samples
  TempDir dir;
  WavData data;
  data.sample_rate = 48000;
  data.channels = 2;
  for (size_t i = 0; i < 2 * kFrames; ++i) data.samples.push_back(static_cast<float>(i % 977) / 977.0f - 0.5f);
  std::string error;
  ASSERT_TRUE(WriteWavFloat32(dir.File("whole.wav"), data, error)) << error;
  const Bytes whole = ReadBytes(dir.File("whole.wav"));

  const std::vector<size_t> blocks[] = {{5, 3000, 1, 1024, 1023, 20000, 7}, {1}, {200000}, {2048}};
  for (const auto& pattern : blocks) {
    for (const uint64_t expected : {uint64_t{0}, uint64_t{kFrames}}) {
      const std::string path = dir.File("sink.wav");
      WavSink sink(path, 48000, 2, expected);
      ASSERT_TRUE(sink.ok()) << sink.error();
      size_t frame = 0;
      for (size_t i = 0; frame < kFrames; ++i) {
        const size_t n = std::min(pattern[i % pattern.size()], kFrames - frame);
        sink.Write(data.samples.data() + 2 * frame, n, 2);
        frame += n;
      }
      ASSERT_TRUE(sink.Finish()) << sink.error();
      EXPECT_TRUE(ReadBytes(path) == whole) << "first block " << pattern[0] << ", expected " << expected;
    }
  }
}

}  // namespace
}  // namespace halvex
