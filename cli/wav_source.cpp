#include "cli/wav_source.h"

#include <algorithm>

namespace halvex {

WavSource::WavSource(const std::string& path) {
  ok_ = ReadWav(path, data_, error_);
  if (!ok_) return;
  mono_ = data_.channels == 1;
  channels_ = mono_ ? 2 : data_.channels;
}

AudioFormat WavSource::Format() const { return AudioFormat{data_.sample_rate, channels_}; }

size_t WavSource::Read(float* out, size_t frames) {
  const size_t file_channels = data_.channels > 0 ? static_cast<size_t>(data_.channels) : 0;
  const size_t total = file_channels > 0 ? data_.samples.size() / file_channels : 0;
  const size_t n = std::min(frames, total - std::min(total, position_));
  const float* in = data_.samples.data() + position_ * file_channels;
  if (mono_) {
    for (size_t i = 0; i < n; ++i) {
      out[2 * i] = in[i];
      out[2 * i + 1] = in[i];
    }
  } else {
    std::copy(in, in + n * file_channels, out);
  }
  position_ += n;
  return n;
}

}  // namespace halvex
