// Reading WAV files of 16/24/32-bit integer or 32/64-bit float samples, and writing 32-bit float WAV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex {

// Decoded audio: interleaved samples, full scale +-1.0.
struct WavData {
  int32_t sample_rate = 48000;
  int32_t channels = 2;
  std::vector<float> samples;
};

// Decodes the whole file at path into out. On failure out is untouched and error holds one of
// "cannot open: PATH", "not a RIFF/WAVE file", "missing fmt/data chunk", "unsupported bit depth".
bool ReadWav(const std::string& path, WavData& out, std::string& error);
// The same from bytes already in memory (any bytes at all are safe).
bool DecodeWav(const uint8_t* bytes, size_t size, WavData& out, std::string& error);

// Writes data as a 32-bit float WAV file with a "fact" chunk (56-byte header), in one write.
// Errors: "cannot write: PATH", "write failed: PATH", "output too large for a wav file: PATH".
bool WriteWavFloat32(const std::string& path, const WavData& data, std::string& error);

}  // namespace halvex
