// Integrated loudness (EBU R 128, LUFS) and true peak (dBTP) of a stream, with libebur128.
#pragma once

#include <cstddef>
#include <memory>

namespace halvex {

class LoudnessMeter {
 public:
  LoudnessMeter(int channels, int sample_rate);
  ~LoudnessMeter();
  LoudnessMeter(const LoudnessMeter&) = delete;
  LoudnessMeter& operator=(const LoudnessMeter&) = delete;

  bool ok() const { return state_ != nullptr; }
  void Add(const float* samples, size_t frames);
  // -inf for silence (or anything shorter than one 400 ms block).
  double IntegratedLufs() const;
  // The highest true peak of any channel, -inf for silence.
  double TruePeakDb() const;

 private:
  void* state_ = nullptr;  // ebur128_state, an anonymous struct that cannot be declared ahead
  unsigned channels_;
};

}  // namespace halvex
