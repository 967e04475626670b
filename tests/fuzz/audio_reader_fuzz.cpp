// libFuzzer target: the streaming readers must survive any bytes. The WAV reader, fed from a
// file, must agree sample for sample with the whole-file decoder; libsndfile's path must deliver
// whole frames of its own channel count and stop.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/sndfile_source.h"
#include "cli/wav_io.h"
#include "cli/wav_source.h"

namespace {

constexpr size_t kBlockFrames = 256;
constexpr size_t kMaxFrames = size_t{1} << 16;  // bounds the time one input may take

void CheckWav(const std::string& path, const uint8_t* data, size_t size) {
  halvex::WavData whole;
  std::string error;
  const bool decoded = halvex::DecodeWav(data, size, whole, error);
  halvex::WavSource source(path);
  if (source.ok() != decoded || (!decoded && source.error() != error)) std::abort();
  if (!decoded) return;
  const size_t channels = static_cast<size_t>(source.Format().channels);
  const bool mono = whole.channels == 1;
  std::vector<float> block(kBlockFrames * channels);
  size_t frame = 0;
  for (size_t n; frame < kMaxFrames && (n = source.Read(block.data(), kBlockFrames)) > 0; frame += n) {
    for (size_t i = 0; i < n * channels; ++i) {
      const size_t at = mono ? frame + i / 2 : frame * channels + i;
      if (at >= whole.samples.size() || std::memcmp(&block[i], &whole.samples[at], sizeof(float)) != 0) std::abort();
    }
  }
}

void CheckSndfile(int fd) {
  halvex::SndfileSource source(fd, "fuzz");
  if (!source.ok()) {
    if (source.error().rfind("cannot decode: fuzz (", 0) != 0) std::abort();
    return;
  }
  const halvex::AudioFormat format = source.Format();
  if (format.channels < 2 || format.sample_rate <= 0) std::abort();
  std::vector<float> block(kBlockFrames * static_cast<size_t>(format.channels));
  size_t frames = 0;
  for (size_t n; frames < kMaxFrames && (n = source.Read(block.data(), kBlockFrames)) > 0; frames += n) {
    if (n > kBlockFrames) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = memfd_create("audio", MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  CheckWav("/proc/self/fd/" + std::to_string(fd), data, size);
  ::lseek(fd, 0, SEEK_SET);
  CheckSndfile(fd);  // the source owns fd from here
  return 0;
}
