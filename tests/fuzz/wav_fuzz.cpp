// libFuzzer target: the WAV decoder must survive any bytes and keep its promises on what it returns.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cli/wav_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  halvex::WavData out;
  std::string error;
  if (halvex::DecodeWav(data, size, out, error)) {
    // Samples come from bytes present in the input: at least two bytes each.
    if (out.samples.size() * 2 > size || out.channels <= 0 || out.sample_rate == 0 || !error.empty()) std::abort();
  } else if (error != "not a RIFF/WAVE file" && error != "missing fmt/data chunk" &&
             error != "unsupported bit depth") {
    std::abort();
  }
  return 0;
}
