#include "cli/wav_sink.h"

#include <utility>

namespace halvex {

WavSink::WavSink(std::string path, int sample_rate) : path_(std::move(path)) {
  data_.sample_rate = sample_rate;
  data_.channels = 2;
}

void WavSink::Write(const float* samples, size_t frames, int channels) {
  data_.channels = channels;
  const size_t count = frames * static_cast<size_t>(channels > 0 ? channels : 0);
  data_.samples.insert(data_.samples.end(), samples, samples + count);
}

bool WavSink::Finish() { return WriteWavFloat32(path_, data_, error_); }

}  // namespace halvex
