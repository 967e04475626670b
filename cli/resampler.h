// A streaming sample-rate converter: libsoxr at its very-high-quality setting, linear phase.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct soxr;

namespace halvex {

// Its output is aligned with its input: soxr skips its own filter delay at the start and gives it
// back at Flush, so frame j out is the signal at time j / to_rate, and a stream of n frames becomes
// round(n * to_rate / from_rate) frames. The values depend only on the signal, not on how it is cut.
class Resampler {
 public:
  Resampler(double from_rate, double to_rate, int channels);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  bool ok() const { return soxr_ != nullptr; }
  const std::string& error() const { return error_; }
  // Converts frames interleaved frames of in and appends what is ready to out.
  void Process(const float* in, size_t frames, std::vector<float>& out);
  // The end of the input: appends everything still held.
  void Flush(std::vector<float>& out);

 private:
  void Drain(const float* in, size_t frames, std::vector<float>& out);

  ::soxr* soxr_ = nullptr;
  size_t channels_;
  double ratio_;
  std::string error_;
};

}  // namespace halvex
