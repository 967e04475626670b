#include "cli/wav_io.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvex {
namespace {

constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;

// Reads a whole file byte for byte; false only if it cannot be opened (a directory cannot).
// Plain reads to the end, so files whose size is unknown up front (pipes, /proc) work too.
bool SlurpFile(const std::string& path, std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  bytes.clear();
  if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
  uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a read error ends the file where it stopped
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

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

struct Format {
  uint16_t tag = 0;
  uint16_t channels = 0;
  uint32_t sample_rate = 0;
  uint16_t bits = 0;
  bool Valid() const { return sample_rate != 0 && channels != 0 && bits != 0; }
};

// Integer scaling by powers of two is exact in float; no clamping, no dither.
void DecodeSamples(const uint8_t* p, size_t count, const Format& fmt, float* out) {
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

}  // namespace

bool DecodeWav(const uint8_t* bytes, size_t size, WavData& out, std::string& error) {
  if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
    error = "not a RIFF/WAVE file";
    return false;
  }
  if (size < 20) {
    error = "missing fmt/data chunk";
    return false;
  }

  Format fmt;
  bool have_data = false;
  size_t data_at = 0;
  size_t data_size = 0;
  // p is where a chunk's data starts; its 8-byte header sits just before it. Every size is cut to
  // the bytes present, so no read goes past the end whatever the file claims.
  for (size_t p = 20; p <= size;) {
    const uint8_t* id = bytes + p - 8;
    const size_t usable = std::min<size_t>(Rd32(bytes + p - 4), size - p);
    const uint8_t* d = bytes + p;
    if (std::memcmp(id, "fmt ", 4) == 0) {
      fmt = Format{};
      if (usable >= 16) {
        fmt.tag = Rd16(d);
        fmt.channels = Rd16(d + 2);
        fmt.sample_rate = Rd32(d + 4);
        fmt.bits = Rd16(d + 14);
        // Extensible: the sub-format GUID starts with the plain format tag.
        if (fmt.tag == kTagExtensible && usable >= 26) fmt.tag = Rd16(d + 24);
      }
    } else if (std::memcmp(id, "data", 4) == 0) {
      have_data = true;
      data_at = p;
      data_size = usable;
    }
    p += usable + (usable & 1) + 8;
  }

  if (!have_data || data_size == 0 || !fmt.Valid()) {
    error = "missing fmt/data chunk";
    return false;
  }
  const bool is_float = fmt.tag == kTagFloat;
  const bool supported = is_float ? (fmt.bits == 32 || fmt.bits == 64)
                                  : (fmt.bits == 16 || fmt.bits == 24 || fmt.bits == 32);
  if (!supported) {
    error = "unsupported bit depth";
    return false;
  }

  const size_t count = data_size / (fmt.bits / 8);
  out.sample_rate = static_cast<int32_t>(fmt.sample_rate);
  out.channels = fmt.channels;
  out.samples.resize(count);
  DecodeSamples(bytes + data_at, count, fmt, out.samples.data());
  return true;
}

bool ReadWav(const std::string& path, WavData& out, std::string& error) {
  std::vector<uint8_t> bytes;
  if (!SlurpFile(path, bytes)) {
    error = "cannot open: " + path;
    return false;
  }
  return DecodeWav(bytes.data(), bytes.size(), out, error);
}

bool WriteWavFloat32(const std::string& path, const WavData& data, std::string& error) {
  constexpr size_t kHeaderBytes = 56;
  const uint64_t data_bytes = static_cast<uint64_t>(data.samples.size()) * 4;
  // The RIFF size field is 32 bits; a larger file would carry a wrapped, lying header.
  if (data_bytes + kHeaderBytes - 8 > std::numeric_limits<uint32_t>::max()) {
    error = "output too large for a wav file: " + path;
    return false;
  }
  const uint32_t d = static_cast<uint32_t>(data_bytes);
  const uint32_t k = static_cast<uint32_t>(data.channels);
  const uint32_t r = static_cast<uint32_t>(data.sample_rate);
  const uint32_t frames = data.channels > 0 ? static_cast<uint32_t>(data.samples.size() / k) : 0;

  std::vector<uint8_t> bytes;
  bytes.reserve(kHeaderBytes + d);
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
