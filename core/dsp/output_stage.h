// The stage every processed frame passes last: Haas delay, high-pass, shelves, soft clip.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/filters/biquad.h"
#include "core/dsp/kit/delay_limit.h"
#include "core/dsp/limiter.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/filters/wide_biquad.h"

namespace halvex {

struct OutputParams {
  float highpass_hz = 10.0f;
  float ceiling_db = -0.3f;
  size_t haas_delay_samples = 0;  // 0..kMaxDelayFrames; 0 turns the delay off
  bool haas_left = true;
  float treble_shelf_hz = 6766.0f;
  float treble_shelf_db = 0.0f;  // 0 turns the shelf off
  float bass_shelf_db = 0.0f;    // 0 turns the shelf off
};

class OutputStage {
 public:
  static constexpr size_t kHaasLineLength = kDelayLineFrames;

  void Configure(const OutputParams& params);
  void Reset();
  StereoSample Process(StereoSample in) noexcept;
  // `count` frames in place, the same as that many Process calls.
  void ProcessBlock(StereoSample* frames, size_t count) noexcept;

 private:
  StereoSample Step(StereoSample in) noexcept;
  // The two ways through a block: frame by frame, and both channels as lanes of one vector
  // (x86-64-v3). They give the same bits; the bit-identity test runs both.
  void ProcessFrames(StereoSample* frames, size_t count) noexcept;
  void ProcessPaired(StereoSample* frames, size_t count) noexcept;
  using BlockFn = void (OutputStage::*)(StereoSample*, size_t) noexcept;
  static const BlockFn kBlock;  // the way this CPU runs

  WideBiquad highpass_left_;
  WideBiquad highpass_right_;
  Biquad treble_left_;
  Biquad treble_right_;
  bool treble_on_ = false;
  Biquad bass_left_;
  Biquad bass_right_;
  bool bass_on_ = false;
  SoftClipLimiter limiter_;
  std::array<float, kHaasLineLength> haas_line_{};
  size_t haas_write_ = 0;
  size_t haas_delay_ = 0;
  bool haas_left_ = true;
};

}  // namespace halvex
