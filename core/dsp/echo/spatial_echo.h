// The echo widener: short band-limited echoes inside the Haas zone, steered per band by the
// mix's own panning, added back as side (and optionally mid) components.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/dsp/filters/band_convolver.h"
#include "core/dsp/echo/band_table.h"
#include "core/dsp/kit/delay_limit.h"
#include "core/dsp/filters/filterbank.h"
#include "core/dsp/kit/isa_level.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/echo/steering.h"
#include "core/dsp/echo/spectral_widener.h"

namespace halvex {

class EchoWidenerStage final : public SpatialStage {
 public:
  static constexpr size_t kEchoLineLength = kDelayLineFrames;
  static constexpr size_t kBandTaps = 256;
  // Frames whose echoes are summed together, side by side in one vector, when every tap is at
  // least this long: each frame's chain of fused multiply-adds keeps its order, the chains of
  // neighbouring frames overlap rather than wait on each other.
  static constexpr size_t kEchoBatch = 8;

  void Configure(const ProcessorConfig& config) override;
  void Reset() override;
  size_t Latency() const override;
  StageOutput Process(float left, float right) noexcept override;
  void ProcessBlock(const StereoSample* in, StageOutput* out, size_t frames) noexcept override;

  // Band edges from the band table; returns the band count.
  static size_t BuildBands(const ProcessorConfig& config, BandEdges& edges);
  void ConfigureTaps(const ProcessorConfig& config, size_t band_count);

  size_t band_count() const { return band_count_; }
  const TapGains& tap_gains() const { return tap_gains_; }
  // channel 0 is left, 1 right; 0 frames means the tap is off.
  size_t tap_delay(size_t channel, size_t band, size_t tap) const {
    return tap_delays_[channel][band][tap];
  }
  const BandSteering& steering() const { return steering_; }

  // Padded so that the same slot of neighbouring bands falls into different cache sets: at
  // a plain 8 KiB stride every band's current slot competes for the same few sets. The lines
  // of a channel advance in lockstep, so they share one write index (echo_write_). The first
  // kEchoBatch slots are repeated past the end, so a batch of slots never wraps.
  struct alignas(64) EchoLine {
    std::array<float, kEchoLineLength + kEchoBatch> samples;
    char padding[192 - kEchoBatch * sizeof(float)];
  };
  // A tap that is on, in summation order.
  struct ActiveTap {
    uint32_t band;
    uint32_t delay;
    float gain;
  };

 private:
  // The frame after the spectral pre-stage (when on): the direct signal and the dry output.
  StereoSample PreStage(StereoSample in) noexcept;
  // PreStage, and the band values of the frame it returns, filtered a block ahead.
  StereoSample PreStageAhead(StereoSample in, BandValues& left_bands,
                             BandValues& right_bands) noexcept;
  // The wet frame from the direct frame and its band values: steering, echo lines, mix.
  StereoSample Echo(StereoSample direct, const BandValues& left_bands,
                    const BandValues& right_bands) noexcept;

  std::array<std::array<EchoLine, kMaxEchoBands>, 2> echo_lines_{};
  std::array<size_t, 2> echo_write_{};
  std::array<std::array<std::array<size_t, kEchoTaps>, kMaxEchoBands>, 2> tap_delays_{};
  TapGains tap_gains_{};
  std::array<std::array<ActiveTap, kMaxEchoBands * kEchoTaps>, 2> active_taps_{};
  std::array<size_t, 2> active_count_{};
  // Echoes of the current batch, per channel, and the frame of the batch that comes next.
  std::array<std::array<float, kEchoBatch>, 2> echo_batch_{};
  size_t batch_frame_ = 0;
  bool batched_ = false;
  BandSteering steering_;
  SpectralWidener widener_;
  bool stft_on_ = false;
  size_t band_count_ = 0;
  float side_gain_ = 0.0f;
  float mid_gain_ = 0.0f;
  // This frame's band values; bands that are never heard stay 0, so nothing is cleared per
  // frame.
  BandValues band_left_{};
  BandValues band_right_{};
  // The same for each frame of a block.
  std::array<BandValues, kMaxStageBlock> block_left_{};
  std::array<BandValues, kMaxStageBlock> block_right_{};
  // The band filters frame by frame (those of bands never heard left at zero), and the range
  // of bands from the lowest heard one to the highest.
  BandConvolver convolver_;
  size_t first_heard_ = 0;
  size_t end_heard_ = 0;
  // With the pre-stage on, its output is final a block of frames ahead, so the band filters
  // run whole blocks by fast convolution in ahead_convolver_ instead (convolver_ then holds no
  // filters); ahead_frame_ is this frame's place in that block.
  bool ahead_ = false;
  BlockBandConvolver ahead_convolver_;
  size_t ahead_frame_ = 0;
};

// The echoes of kEchoBatch consecutive frames of one channel: frame j of the batch sums the
// list's taps at `write + j - delay`, in the order of the list, exactly as a frame on its own
// would. Every delay must be at least kEchoBatch. False when the CPU lacks that build's
// instructions. For tests: every build must give the bits of the one-frame chain.
bool SumEchoBatch(SplitLevel level, const EchoWidenerStage::EchoLine* lines,
                  const EchoWidenerStage::ActiveTap* taps, size_t count, size_t write, float* out);

}  // namespace halvex
