#include "cli/wav_io.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <limits>

#include <unistd.h>

#include "cli/input_file.h"

namespace halvex {
namespace {

constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;

void Wr16(std::vector<uint8_t>& bytes, uint32_t value) {
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Wr32(std::vector<uint8_t>& bytes, uint32_t value) {
  Wr16(bytes, value & 0xFFFF);
  Wr16(bytes, value >> 16);
}

void WrTag(std::vector<uint8_t>& bytes, const char* tag) { bytes.insert(bytes.end(), tag, tag + 4); }

uint16_t Rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Rd32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Rd64(const uint8_t* p) {
  return static_cast<uint64_t>(Rd32(p)) | (static_cast<uint64_t>(Rd32(p + 4)) << 32);
}

}  // namespace

// Integer scaling by powers of two is exact in float; no clamping, no dither.
void DecodeWavSamples(const uint8_t* p, size_t count, const WavLayout& fmt, float* out) {
  const bool is_float = fmt.tag == kTagFloat;
  switch (fmt.bits) {
    case 16:
      for (size_t i = 0; i < count; ++i, p += 2)
        out[i] = static_cast<float>(static_cast<int16_t>(Rd16(p))) * 0x1p-15f;
      break;
    case 24:
      for (size_t i = 0; i < count; ++i, p += 3) {
        // Place the 24 bits at the top of an int32 so the arithmetic shift carries bit 23's sign.
        const uint32_t raw = (static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                             (static_cast<uint32_t>(p[2]) << 24);
        out[i] = static_cast<float>(static_cast<int32_t>(raw) >> 8) * 0x1p-23f;
      }
      break;
    case 32:
      for (size_t i = 0; i < count; ++i, p += 4) {
        const uint32_t raw = Rd32(p);
        if (is_float) {
          std::memcpy(&out[i], &raw, sizeof raw);
        } else {
          out[i] = static_cast<float>(static_cast<int32_t>(raw)) * 0x1p-31f;
        }
      }
      break;
    case 64:
      for (size_t i = 0; i < count; ++i, p += 8) {
        const uint64_t raw = Rd64(p);
        double d;
        std::memcpy(&d, &raw, sizeof raw);
        out[i] = static_cast<float>(d);
      }
      break;
    default:
      break;
  }
}

bool ScanWavLayout(uint64_t size, const WavFetch& fetch, WavLayout& layout, std::string& error) {
  uint8_t head[12];
  if (size < 12 || fetch(0, head, 12) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    error = "not a RIFF/WAVE file";
    return false;
  }
  if (size < 20) {
    error = "missing fmt/data chunk";
    return false;
  }

  WavLayout found;
  bool have_format = false;
  bool have_data = false;
  // p is where a chunk's data starts; its 8-byte header sits just before it. Every size is cut to
  // the bytes present, so no read goes past the end whatever the file claims.
  for (uint64_t p = 20; p <= size;) {
    uint8_t header[8];
    if (fetch(p - 8, header, 8) != 8) break;  // a read error ends the file where it stopped
    const uint64_t usable = std::min<uint64_t>(Rd32(header + 4), size - p);
    if (std::memcmp(header, "fmt ", 4) == 0) {
      found.tag = 0;
      found.channels = 0;
      found.sample_rate = 0;
      found.bits = 0;
      uint8_t d[26] = {};
      const size_t want = static_cast<size_t>(std::min<uint64_t>(usable, sizeof d));
      if (usable >= 16 && fetch(p, d, want) == want) {
        found.tag = Rd16(d);
        found.channels = Rd16(d + 2);
        found.sample_rate = Rd32(d + 4);
        found.bits = Rd16(d + 14);
        // Extensible: the sub-format GUID starts with the plain format tag.
        if (found.tag == kTagExtensible && usable >= 26) found.tag = Rd16(d + 24);
      }
      have_format = found.sample_rate != 0 && found.channels != 0 && found.bits != 0;
    } else if (std::memcmp(header, "data", 4) == 0) {
      have_data = true;
      found.data_at = p;
      found.data_size = usable;
    }
    p += usable + (usable & 1) + 8;
  }

  if (!have_data || found.data_size == 0 || !have_format) {
    error = "missing fmt/data chunk";
    return false;
  }
  const bool is_float = found.tag == kTagFloat;
  const bool supported = is_float ? (found.bits == 32 || found.bits == 64)
                                  : (found.bits == 16 || found.bits == 24 || found.bits == 32);
  if (!supported) {
    error = "unsupported bit depth";
    return false;
  }
  layout = found;
  return true;
}

bool DecodeWav(const uint8_t* bytes, size_t size, WavData& out, std::string& error) {
  const WavFetch fetch = [bytes, size](uint64_t offset, uint8_t* dst, size_t count) -> size_t {
    if (offset >= size) return 0;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
    std::memcpy(dst, bytes + offset, n);
    return n;
  };
  WavLayout layout;
  if (!ScanWavLayout(size, fetch, layout, error)) return false;
  const size_t count = static_cast<size_t>(layout.data_size / layout.BytesPerSample());
  out.sample_rate = static_cast<int32_t>(layout.sample_rate);
  out.channels = layout.channels;
  out.samples.resize(count);
  DecodeWavSamples(bytes + layout.data_at, count, layout, out.samples.data());
  return true;
}

bool ReadWav(const std::string& path, WavData& out, std::string& error) {
  struct stat st {};
  const int fd = OpenInputFile(path, st);
  if (fd < 0) {
    error = "cannot open: " + path;
    return false;
  }
  std::vector<uint8_t> bytes;
  if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
  ReadToEnd(fd, bytes);
  ::close(fd);
  return DecodeWav(bytes.data(), bytes.size(), out, error);
}

std::vector<uint8_t> WavFloatHeader(uint32_t data_bytes, int32_t channels, int32_t sample_rate) {
  const uint32_t d = data_bytes;
  const uint32_t k = static_cast<uint32_t>(channels);
  const uint32_t r = static_cast<uint32_t>(sample_rate);
  const uint32_t frames = channels > 0 ? (d / 4) / k : 0;
  std::vector<uint8_t> bytes;
  bytes.reserve(kWavFloatHeaderBytes);
  WrTag(bytes, "RIFF");
  Wr32(bytes, d + 48);
  WrTag(bytes, "WAVE");
  WrTag(bytes, "fmt ");
  Wr32(bytes, 16);
  Wr16(bytes, kTagFloat);
  Wr16(bytes, k);
  Wr32(bytes, r);
  Wr32(bytes, r * k * 4);  // unsigned: wraps instead of overflowing for absurd inputs
  Wr16(bytes, k * 4);
  Wr16(bytes, 32);
  WrTag(bytes, "fact");
  Wr32(bytes, 4);
  Wr32(bytes, frames);
  WrTag(bytes, "data");
  Wr32(bytes, d);
  return bytes;
}

bool WriteWavFloat32(const std::string& path, const WavData& data, std::string& error) {
  const uint64_t data_bytes = static_cast<uint64_t>(data.samples.size()) * 4;
  // The RIFF size field is 32 bits; a larger file would carry a wrapped, lying header.
  if (data_bytes > kMaxWavFloatDataBytes) {
    error = "output too large for a wav file: " + path;
    return false;
  }
  const uint32_t d = static_cast<uint32_t>(data_bytes);
  std::vector<uint8_t> bytes = WavFloatHeader(d, data.channels, data.sample_rate);
  const size_t header_end = bytes.size();
  bytes.resize(header_end + d);
  if constexpr (std::endian::native == std::endian::little) {
    if (d != 0) std::memcpy(bytes.data() + header_end, data.samples.data(), d);
  } else {
    for (size_t i = 0; i < data.samples.size(); ++i) {
      const uint32_t raw = std::bit_cast<uint32_t>(data.samples[i]);
      for (int b = 0; b < 4; ++b) bytes[header_end + i * 4 + b] = static_cast<uint8_t>(raw >> (8 * b));
    }
  }

  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "cannot write: " + path;
    return false;
  }
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();  // flushes: a full disk shows up here, not in the destructor
  if (!out) {
    error = "write failed: " + path;
    return false;
  }
  return true;
}

}  // namespace halvex
