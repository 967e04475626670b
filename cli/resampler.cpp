#include "cli/resampler.h"

#include <soxr.h>

#include <cmath>

namespace halvex {

Resampler::Resampler(double from_rate, double to_rate, int channels)
    : channels_(channels > 0 ? static_cast<size_t>(channels) : 0), ratio_(to_rate / from_rate) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ | SOXR_LINEAR_PHASE, 0);
  // One thread: batch renders run one file per core already, and results must not depend on it.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t failure = nullptr;
  soxr_ = soxr_create(from_rate, to_rate, static_cast<unsigned>(channels_), &failure, &io, &quality, &runtime);
  if (failure != nullptr || soxr_ == nullptr) {
    error_ = std::string("resampler: ") + soxr_strerror(failure);
    if (soxr_ != nullptr) soxr_delete(soxr_);
    soxr_ = nullptr;
  }
}

Resampler::~Resampler() {
  if (soxr_ != nullptr) soxr_delete(soxr_);
}

void Resampler::Drain(const float* in, size_t frames, std::vector<float>& out) {
  if (soxr_ == nullptr) return;
  // Room for what this input can make plus what soxr may still hold; loop until it has no more.
  const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(frames) * ratio_)) + 1024;
  size_t used = 0;
  for (;;) {
    const size_t at = out.size();
    out.resize(at + room * channels_);
    size_t consumed = 0;
    size_t produced = 0;
    soxr_process(soxr_, in == nullptr ? nullptr : in + used * channels_, frames - used, &consumed,
                 out.data() + at, room, &produced);
    out.resize(at + produced * channels_);
    used += consumed;
    if (in != nullptr ? used >= frames && produced < room : produced == 0) break;
  }
}

void Resampler::Process(const float* in, size_t frames, std::vector<float>& out) {
  if (frames > 0) Drain(in, frames, out);
}

void Resampler::Flush(std::vector<float>& out) { Drain(nullptr, 0, out); }

}  // namespace halvex
