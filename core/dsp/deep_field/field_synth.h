// The synthetic surrounding field: velvet-noise early diffusion feeding an eight-line feedback
// delay network, decaying in `field_size` seconds, with a stereo width of `envelopment`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/config/config_defaults.h"
#include "core/dsp/deep_field/band_balance.h"
#include "core/dsp/filters/biquad.h"
#include "core/dsp/deep_field/distance_stage.h"
#include "core/dsp/deep_field/field_lanes.h"
#include "core/dsp/deep_field/field_network.h"
#include "core/dsp/spatial_stage.h"
#include "core/dsp/deep_field/velvet_sequence.h"

namespace halvex {

class FieldSynth {
 public:
  static constexpr size_t kLines = FieldNetwork::kLines;
  static constexpr size_t kLayers = 3;
  static constexpr size_t kEarlySequences = 2 * kLayers;
  static constexpr size_t kMaxEarlyTaps = 96;
  static constexpr size_t kLateTaps = 300;
  static constexpr size_t kEarlySpan = 1440;  // frames covered by an early sequence
  static constexpr size_t kLateSpan = 1920;   // frames covered by a late sequence
  // The field is rendered this many frames at a time, each step vectorised across them.
  static constexpr size_t kVelvetBlock = field::kBlock;

  void Configure(RenderTarget target, float field_size, float envelopment);
  // Clears every ring, filter memory, phase and smoothed power; band gains back to 1.
  void Reset();
  StereoSample Process(const std::array<FieldSend, 3>& sends, const FieldSend& late) noexcept;
  // kVelvetBlock frames at once, the sends as rows (DistanceStage::SendsBlock's form): the same
  // result as that many calls of Process.
  void ProcessBlock(const SendRows& rows, std::array<StereoSample, kVelvetBlock>& out) noexcept;

  void BuildVelvet(uint32_t seed);
  void BuildInjection(uint32_t seed);
  void BuildDamping(float field_size) { network_.BuildDamping(field_size); }
  // The delayed (and for lines 6 and 7 modulated) output of one line, before this frame's write.
  float ReadLine(size_t line) noexcept { return network_.ReadLine(line); }
  // Runs the lines through their diffusers and damping, mixes them through the Householder
  // feedback with `acc` injected, and advances. `out` receives each line's damped output.
  void InjectAndAdvance(const std::array<float, kLines>& acc,
                        std::array<float, kLines>& out) noexcept;
  // Evens out the two channels' band levels; returns the balanced pair.
  StereoSample Balance(float left, float right) noexcept { return balance_.Process(left, right); }

  const VelvetSequence<kLateTaps>& Late(size_t q) const { return late_[q]; }

 private:
  std::array<VelvetSequence<kMaxEarlyTaps>, kEarlySequences> early_{};
  std::array<VelvetSequence<kLateTaps>, 2> late_{};
  size_t velvet_write_ = 0;  // shared write position of all velvet histories
  size_t block_pos_ = 0;     // frame within the current block

  std::array<std::array<float, kLines>, kLayers> injection_left_{};
  std::array<std::array<float, kLines>, kLayers> injection_right_{};

  FieldNetwork network_{};

  std::array<Biquad, 3> colour_left_{};
  std::array<Biquad, 3> colour_right_{};

  BandBalance balance_{};
  float width_ = 0.0f;
};

}  // namespace halvex
