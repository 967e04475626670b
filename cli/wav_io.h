// Reading WAV files of 16/24/32-bit integer or 32/64-bit float samples, and writing 32-bit float WAV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/dsp/kit/engine_rate.h"

namespace halvex {

// Decoded audio: interleaved samples, full scale +-1.0.
struct WavData {
  int32_t sample_rate = kEngineRate;
  int32_t channels = 2;
  std::vector<float> samples;
};

// Decodes the whole file at path into out. On failure out is untouched and error holds one of
// "cannot open: PATH", "not a RIFF/WAVE file", "missing fmt/data chunk", "unsupported bit depth".
bool ReadWav(const std::string& path, WavData& out, std::string& error);
// The same from bytes already in memory (any bytes at all are safe).
bool DecodeWav(const uint8_t* bytes, size_t size, WavData& out, std::string& error);

// Where a WAV file's samples are and how they are coded, as its chunks say.
struct WavLayout {
  uint16_t tag = 0;  // the sub-format's tag for extensible files
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint16_t bits = 0;
  uint64_t data_at = 0;    // offset of the first sample
  uint64_t data_size = 0;  // cut to the bytes present
  size_t BytesPerSample() const { return bits / 8; }
};

// Copies up to count bytes from offset of a file of known size into out; returns how many.
using WavFetch = std::function<size_t(uint64_t offset, uint8_t* out, size_t count)>;

// Walks the chunks of a file of size bytes without reading its samples; the errors are DecodeWav's.
bool ScanWavLayout(uint64_t size, const WavFetch& fetch, WavLayout& layout, std::string& error);
// Decodes count samples of a layout ScanWavLayout accepted, little-endian, unclamped.
void DecodeWavSamples(const uint8_t* bytes, size_t count, const WavLayout& layout, float* out);

// The 56-byte header of a 32-bit float WAV file with a "fact" chunk and data_bytes of samples.
constexpr size_t kWavFloatHeaderBytes = 56;
// The RIFF size field is 32 bits: data_bytes + 48 must fit.
constexpr uint64_t kMaxWavFloatDataBytes = 0xFFFFFFFFull - 48;
std::vector<uint8_t> WavFloatHeader(uint32_t data_bytes, int32_t channels, int32_t sample_rate);

// Writes data as a 32-bit float WAV file with a "fact" chunk (56-byte header), in one write.
// Errors: "cannot write: PATH", "write failed: PATH", "output too large for a wav file: PATH".
bool WriteWavFloat32(const std::string& path, const WavData& data, std::string& error);

}  // namespace halvex
