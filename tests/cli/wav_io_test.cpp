#include "cli/wav_io.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tests/cli/wav_bytes.h"

namespace halvex {
namespace {

using namespace halvex::testing;

bool Decode(const Bytes& b, WavData& out, std::string& error) {
  return DecodeWav(b.data(), b.size(), out, error);
}

std::string DecodeError(const Bytes& b) {
  WavData out;
  std::string error;
  EXPECT_FALSE(Decode(b, out, error));
  return error;
}

TEST(WavDecode, SixteenBitPcmScalesByTwoToTheMinusFifteen) {
  Bytes data;
  for (uint32_t v : {0x0000u, 0x7FFFu, 0x8000u, 0x4000u, 0xFFFFu, 0xC000u}) Put16(data, v);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(SimpleWav(1, 2, 44100, 16, data), out, error)) << error;
  EXPECT_EQ(out.sample_rate, 44100);
  EXPECT_EQ(out.channels, 2);
  EXPECT_EQ(out.samples, (std::vector<float>{0.0f, 32767.0f / 32768.0f, -1.0f, 0.5f, -1.0f / 32768.0f, -0.5f}));
}

TEST(WavDecode, TwentyFourBitTakesItsSignFromBit23) {
  const Bytes data = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF};
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(SimpleWav(1, 1, 48000, 24, data), out, error)) << error;
  ASSERT_EQ(out.samples.size(), 4u);
  EXPECT_EQ(out.samples[0], -1.0f);
  EXPECT_FLOAT_EQ(out.samples[1], 0.99999988f);
  EXPECT_EQ(out.samples[1], 8388607.0f / 8388608.0f);
  EXPECT_EQ(out.samples[2], 0.5f);
  EXPECT_EQ(out.samples[3], -1.0f / 8388608.0f);
}

TEST(WavDecode, ThirtyTwoBitIntegerAndBothFloatWidths) {
  Bytes ints;
  for (uint32_t v : {0x80000000u, 0x40000000u, 0xFFFFFFFFu}) Put32(ints, v);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(SimpleWav(1, 1, 48000, 32, ints), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{-1.0f, 0.5f, -0x1p-31f}));

  const float floats[] = {0.25f, -1.5f, 3.0e-8f};  // stored as is, not clamped
  Bytes f32(reinterpret_cast<const uint8_t*>(floats), reinterpret_cast<const uint8_t*>(floats) + sizeof floats);
  ASSERT_TRUE(Decode(SimpleWav(3, 1, 48000, 32, f32), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{0.25f, -1.5f, 3.0e-8f}));

  const double doubles[] = {0.1, -2.0};
  Bytes f64(reinterpret_cast<const uint8_t*>(doubles), reinterpret_cast<const uint8_t*>(doubles) + sizeof doubles);
  ASSERT_TRUE(Decode(SimpleWav(3, 2, 96000, 64, f64), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{0.1f, -2.0f}));
  EXPECT_EQ(out.sample_rate, 96000);
}

TEST(WavDecode, ExtensibleUsesTheSubFormatTag) {
  const float floats[] = {0.75f, -0.125f};
  Bytes f32(reinterpret_cast<const uint8_t*>(floats), reinterpret_cast<const uint8_t*>(floats) + sizeof floats);
  Bytes b = RiffHeader();
  PutChunk(b, "fmt ", ExtensibleFmtBody(3, 2, 48000, 32));
  PutChunk(b, "data", f32);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(Finish(b), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{0.75f, -0.125f}));

  b = RiffHeader();
  PutChunk(b, "fmt ", ExtensibleFmtBody(1, 1, 48000, 24));
  PutChunk(b, "data", Bytes{0x00, 0x00, 0x80});
  ASSERT_TRUE(Decode(Finish(b), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{-1.0f}));
}

TEST(WavDecode, SkipsOtherChunksAndTheirPadBytes) {
  Bytes data;
  Put16(data, 0x4000);
  Bytes b = RiffHeader();
  PutChunk(b, "JUNK", Bytes(3, 0xEE));  // odd: followed by one pad byte
  PutChunk(b, "fmt ", FmtBody(1, 1, 48000, 16));
  PutChunk(b, "LIST", Bytes{'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 1, 0, 0, 0, 'x'});
  PutChunk(b, "data", data);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(Finish(b), out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{0.5f}));
}

TEST(WavDecode, LaterFmtAndDataChunksReplaceEarlierOnes) {
  Bytes first, second;
  Put16(first, 0x4000);
  Put32(second, 0x40000000);
  Bytes b = RiffHeader();
  PutChunk(b, "fmt ", FmtBody(1, 1, 48000, 16));
  PutChunk(b, "data", first);
  PutChunk(b, "fmt ", FmtBody(1, 1, 22050, 32));
  PutChunk(b, "data", second);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(Finish(b), out, error)) << error;
  EXPECT_EQ(out.sample_rate, 22050);
  EXPECT_EQ(out.samples, (std::vector<float>{0.5f}));
}

TEST(WavDecode, OversizedDataChunkIsCutToTheBytesPresentAndPartialSamplesDropped) {
  Bytes b = RiffHeader();
  PutChunk(b, "fmt ", FmtBody(1, 2, 48000, 16));
  Bytes data;
  Put16(data, 0x4000);
  Put16(data, 0xC000);
  data.push_back(0x12);  // half a sample at the very end
  PutChunk(b, "data", data, 0xFFFFFFF0);
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(b, out, error)) << error;
  EXPECT_EQ(out.samples, (std::vector<float>{0.5f, -0.5f}));
}

TEST(WavDecode, RejectsWhatIsNotARiffWaveFile) {
  EXPECT_EQ(DecodeError({}), "not a RIFF/WAVE file");
  EXPECT_EQ(DecodeError(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V'}), "not a RIFF/WAVE file");
  Bytes rifx = SimpleWav(1, 1, 48000, 16, Bytes{0, 0});
  rifx[3] = 'X';
  EXPECT_EQ(DecodeError(rifx), "not a RIFF/WAVE file");
  Bytes avi = SimpleWav(1, 1, 48000, 16, Bytes{0, 0});
  std::memcpy(avi.data() + 8, "AVI ", 4);
  EXPECT_EQ(DecodeError(avi), "not a RIFF/WAVE file");
}

TEST(WavDecode, MissingOrUnusableFmtOrDataIsReported) {
  EXPECT_EQ(DecodeError(Finish(RiffHeader())), "missing fmt/data chunk");  // 12 bytes, no chunk

  Bytes no_data = RiffHeader();
  PutChunk(no_data, "fmt ", FmtBody(1, 2, 48000, 16));
  EXPECT_EQ(DecodeError(Finish(no_data)), "missing fmt/data chunk");

  Bytes no_fmt = RiffHeader();
  PutChunk(no_fmt, "data", Bytes(8, 0));
  EXPECT_EQ(DecodeError(Finish(no_fmt)), "missing fmt/data chunk");

  EXPECT_EQ(DecodeError(SimpleWav(1, 2, 48000, 16, {})), "missing fmt/data chunk");  // empty data
  EXPECT_EQ(DecodeError(SimpleWav(1, 0, 48000, 16, Bytes(4, 0))), "missing fmt/data chunk");
  EXPECT_EQ(DecodeError(SimpleWav(1, 2, 0, 16, Bytes(4, 0))), "missing fmt/data chunk");
  EXPECT_EQ(DecodeError(SimpleWav(1, 2, 48000, 0, Bytes(4, 0))), "missing fmt/data chunk");

  // A short fmt chunk after a good one forgets the format.
  Bytes short_fmt = RiffHeader();
  PutChunk(short_fmt, "fmt ", FmtBody(1, 2, 48000, 16));
  PutChunk(short_fmt, "fmt ", Bytes(14, 1));
  PutChunk(short_fmt, "data", Bytes(4, 0));
  EXPECT_EQ(DecodeError(Finish(short_fmt)), "missing fmt/data chunk");

  // A fmt chunk that claims 16 bytes but is cut by the end of the file.
  Bytes cut = RiffHeader();
  PutChunk(cut, "data", Bytes(4, 0));
  PutChunk(cut, "fmt ", Bytes(10, 1), 16);
  EXPECT_EQ(DecodeError(cut), "missing fmt/data chunk");
}

TEST(WavDecode, RejectsBitDepthsItCannotDecode) {
  EXPECT_EQ(DecodeError(SimpleWav(1, 1, 48000, 8, Bytes(4, 0x80))), "unsupported bit depth");
  EXPECT_EQ(DecodeError(SimpleWav(1, 1, 48000, 12, Bytes(4, 0))), "unsupported bit depth");
  EXPECT_EQ(DecodeError(SimpleWav(1, 1, 48000, 64, Bytes(16, 0))), "unsupported bit depth");  // int64
  EXPECT_EQ(DecodeError(SimpleWav(3, 1, 48000, 16, Bytes(4, 0))), "unsupported bit depth");   // half float
  EXPECT_EQ(DecodeError(SimpleWav(3, 1, 48000, 24, Bytes(6, 0))), "unsupported bit depth");
}

TEST(WavDecode, ChunkSizesThatPointPastTheEndNeverReadOutOfBounds) {
  // Every truncation of a valid file, and a header claiming 4 GiB at every chunk, must either
  // decode or fail with a message; ASan/UBSan builds and the fuzzer catch stray reads.
  Bytes data;
  for (int i = 0; i < 16; ++i) Put16(data, static_cast<uint32_t>(i * 1000));
  Bytes b = RiffHeader();
  PutChunk(b, "fmt ", ExtensibleFmtBody(1, 2, 48000, 16));
  PutChunk(b, "LIST", Bytes(5, 'x'));
  PutChunk(b, "data", data);
  b = Finish(b);
  for (size_t n = 0; n <= b.size(); ++n) {
    Bytes prefix(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
    // Copy into an exactly sized heap block so ASan sees any overrun.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n == 0 ? 1 : n]);
    if (n != 0) std::memcpy(exact.get(), prefix.data(), n);
    WavData out;
    std::string error;
    const bool ok = DecodeWav(exact.get(), n, out, error);
    if (ok) {
      EXPECT_LE(out.samples.size() * 2, n);
    } else {
      EXPECT_FALSE(error.empty()) << n;
    }
  }
  WavData out;
  std::string error;
  ASSERT_TRUE(Decode(b, out, error));
  EXPECT_EQ(out.samples.size(), 16u);
}

TEST(WavFiles, WriterProducesTheFiftySixByteFloatLayout) {
  TempDir dir;
  WavData data;
  data.sample_rate = 44100;
  data.channels = 2;
  data.samples = {0.5f, -0.25f, 1.0f, 0.0f, -1.0f, 2.0f};
  std::string error;
  ASSERT_TRUE(WriteWavFloat32(dir.File("out.wav"), data, error)) << error;
  const Bytes b = ReadBytes(dir.File("out.wav"));
  ASSERT_EQ(b.size(), 56u + 24u);
  auto u32 = [&](size_t at) { return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24); };
  auto u16 = [&](size_t at) { return b[at] | (b[at + 1] << 8); };
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(u32(4), 24u + 48u);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(u32(16), 16u);
  EXPECT_EQ(u16(20), 3);
  EXPECT_EQ(u16(22), 2);
  EXPECT_EQ(u32(24), 44100u);
  EXPECT_EQ(u32(28), 44100u * 8);
  EXPECT_EQ(u16(32), 8);
  EXPECT_EQ(u16(34), 32);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "fact");
  EXPECT_EQ(u32(40), 4u);
  EXPECT_EQ(u32(44), 3u);  // frames
  EXPECT_EQ(std::string(b.begin() + 48, b.begin() + 52), "data");
  EXPECT_EQ(u32(52), 24u);
  float second;
  std::memcpy(&second, b.data() + 60, 4);
  EXPECT_EQ(second, -0.25f);

  WavData back;
  ASSERT_TRUE(ReadWav(dir.File("out.wav"), back, error)) << error;
  EXPECT_EQ(back.sample_rate, 44100);
  EXPECT_EQ(back.channels, 2);
  EXPECT_EQ(back.samples, data.samples);
}

TEST(WavFiles, EmptyDataStillWritesAWholeHeader) {
  TempDir dir;
  WavData data;
  std::string error;
  ASSERT_TRUE(WriteWavFloat32(dir.File("empty.wav"), data, error)) << error;
  EXPECT_EQ(ReadBytes(dir.File("empty.wav")).size(), 56u);
}

TEST(WavFiles, ReportsOpenAndWriteFailuresWithThePath) {
  TempDir dir;
  WavData data;
  std::string error;
  EXPECT_FALSE(ReadWav(dir.File("absent.wav"), data, error));
  EXPECT_EQ(error, "cannot open: " + dir.File("absent.wav"));
  EXPECT_FALSE(WriteWavFloat32(dir.File("no/such/dir.wav"), data, error));
  EXPECT_EQ(error, "cannot write: " + dir.File("no/such/dir.wav"));
  // /dev/full opens fine and fails every write.
  data.samples.assign(100000, 0.5f);
  EXPECT_FALSE(WriteWavFloat32("/dev/full", data, error));
  EXPECT_EQ(error, "write failed: /dev/full");
}

}  // namespace
}  // namespace halvex
