#include "cli/loudness_meter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace halvex {
namespace {

ebur128_state* State(void* state) { return static_cast<ebur128_state*>(state); }

}  // namespace

LoudnessMeter::LoudnessMeter(int channels, int sample_rate) : channels_(channels > 0 ? static_cast<unsigned>(channels) : 0) {
  if (channels_ == 0 || sample_rate <= 0) return;
  state_ = ebur128_init(channels_, static_cast<unsigned long>(sample_rate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
}

LoudnessMeter::~LoudnessMeter() {
  ebur128_state* state = State(state_);
  if (state != nullptr) ebur128_destroy(&state);
}

void LoudnessMeter::Add(const float* samples, size_t frames) {
  if (state_ != nullptr && frames > 0) ebur128_add_frames_float(State(state_), samples, frames);
}

double LoudnessMeter::IntegratedLufs() const {
  double lufs = -std::numeric_limits<double>::infinity();
  if (state_ == nullptr || ebur128_loudness_global(State(state_), &lufs) != EBUR128_SUCCESS) {
    return -std::numeric_limits<double>::infinity();
  }
  return lufs;
}

double LoudnessMeter::TruePeakDb() const {
  double peak = 0.0;
  for (unsigned c = 0; state_ != nullptr && c < channels_; ++c) {
    double channel_peak = 0.0;
    if (ebur128_true_peak(State(state_), c, &channel_peak) == EBUR128_SUCCESS) peak = std::max(peak, channel_peak);
  }
  return peak > 0.0 ? 20.0 * std::log10(peak) : -std::numeric_limits<double>::infinity();
}

}  // namespace halvex
