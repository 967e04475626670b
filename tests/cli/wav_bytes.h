// Builds WAV files byte by byte for tests, including files that lie about their sizes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/temp_dir.h"

namespace halvex::testing {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
inline void PutTag(Bytes& b, const char* tag) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(tag[i]));
}

// "RIFF" size "WAVE"; the size field is filled in by Finish.
inline Bytes RiffHeader() {
  Bytes b;
  PutTag(b, "RIFF");
  Put32(b, 0);
  PutTag(b, "WAVE");
  return b;
}

// A chunk with a declared size (the real size by default) and its pad byte when odd.
inline void PutChunk(Bytes& b, const char* id, const Bytes& body, int64_t declared = -1) {
  PutTag(b, id);
  Put32(b, declared < 0 ? static_cast<uint32_t>(body.size()) : static_cast<uint32_t>(declared));
  b.insert(b.end(), body.begin(), body.end());
  if (declared < 0 && (body.size() & 1)) b.push_back(0);
}

inline Bytes FmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes f;
  Put16(f, tag);
  Put16(f, channels);
  Put32(f, rate);
  Put32(f, rate * channels * (bits / 8));
  Put16(f, static_cast<uint16_t>(channels * (bits / 8)));
  Put16(f, bits);
  return f;
}

// WAVE_FORMAT_EXTENSIBLE: 40-byte fmt whose sub-format GUID begins with sub_tag.
inline Bytes ExtensibleFmtBody(uint16_t sub_tag, uint16_t channels, uint32_t rate, uint16_t bits) {
  Bytes f = FmtBody(0xFFFE, channels, rate, bits);
  Put16(f, 22);    // extension size
  Put16(f, bits);  // valid bits
  Put32(f, 3);     // channel mask
  Put16(f, sub_tag);
  const uint8_t rest[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                            0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  f.insert(f.end(), rest, rest + 14);
  return f;
}

inline Bytes Finish(Bytes b) {
  const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
  for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  return b;
}

// A simple well-formed file: fmt then data.
inline Bytes SimpleWav(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, const Bytes& data) {
  Bytes b = RiffHeader();
  PutChunk(b, "fmt ", FmtBody(tag, channels, rate, bits));
  PutChunk(b, "data", data);
  return Finish(b);
}

using test::TempDir;

inline Bytes ReadBytes(const std::string& path) {
  Bytes b;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return b;
  int c;
  while ((c = std::fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
  std::fclose(f);
  return b;
}

}  // namespace halvex::testing
