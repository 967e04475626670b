// The synthetic surrounding field: velvet-noise early diffusion feeding an eight-line feedback
// delay network, decaying in `field_size` seconds, with a stereo width of `envelopment`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/config/config_defaults.h"
#include "core/dsp/band_split.h"
#include "core/dsp/biquad.h"
#include "core/dsp/distance_stage.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

class FieldSynth {
 public:
  static constexpr size_t kLines = 8;
  static constexpr size_t kLayers = 3;
  static constexpr size_t kEarlySequences = 2 * kLayers;
  static constexpr size_t kMaxEarlyTaps = 96;
  static constexpr size_t kLateTaps = 300;
  static constexpr size_t kEarlySpan = 1440;  // frames covered by an early sequence
  static constexpr size_t kLateSpan = 1920;   // frames covered by a late sequence
  static constexpr size_t kLineRingLength = 4096;
  static constexpr size_t kAllpassesPerLine = 3;
  // Must hold the longest diffuser delay (709 frames).
  static constexpr size_t kAllpassRingLength = 1024;
  // Far velvet taps are summed for this many frames ahead at once, vectorised across time.
  static constexpr size_t kVelvetBlock = 32;

  // A sparse sequence of +-a taps and the input history it is convolved with. The history is
  // written twice (at w and w + kHistory) so that any window of up to kHistory frames is
  // contiguous.
  // The history holds the input times the tap level, so every tap is an exact +-copy of the
  // product the sum needs and the far taps cost one add each.
  template <size_t kCapacity>
  struct Velvet {
    static constexpr size_t kHistory = 2048;
    std::array<size_t, kCapacity> position{};
    std::array<float, kCapacity> sign{};
    float level = 0.0f;  // |sign| of every tap
    size_t count = 0;
    size_t near_count = 0;  // taps closer than kVelvetBlock frames, summed frame by frame
    // Far taps as kHistory - position, the positive taps first (far_plus of them).
    std::array<uint32_t, kCapacity> far_offset{};
    size_t far_plus = 0;
    std::array<float, 2 * kHistory> history{};
    std::array<float, kVelvetBlock> far{};  // sums of the far taps for the current block
  };

  void Configure(RenderTarget target, float field_size, float envelopment);
  // Clears every ring, filter memory, phase and smoothed power; band gains back to 1.
  void Reset();
  StereoSample Process(const std::array<FieldSend, 3>& sends, const FieldSend& late) noexcept;
  // kVelvetBlock frames at once: the same result as that many calls of Process.
  void ProcessBlock(const std::array<std::array<FieldSend, 3>, kVelvetBlock>& sends,
                    const std::array<FieldSend, kVelvetBlock>& late,
                    std::array<StereoSample, kVelvetBlock>& out) noexcept;

  void BuildVelvet(uint32_t seed);
  void BuildInjection(uint32_t seed);
  void BuildDamping(float field_size);
  // The delayed (and for lines 6 and 7 modulated) output of one line, before this frame's write.
  float ReadLine(size_t line) noexcept;
  // Runs the lines through their diffusers and damping, mixes them through the Householder
  // feedback with `acc` injected, and advances. `out` receives each line's damped output.
  void InjectAndAdvance(const std::array<float, kLines>& acc,
                        std::array<float, kLines>& out) noexcept;
  // The two halves of InjectAndAdvance: the lines' damped outputs, then the feedback write.
  void AdvanceLines(std::array<float, kLines>& out) noexcept;
  void FeedLines(const std::array<float, kLines>& acc,
                 const std::array<float, kLines>& out) noexcept;
  // Evens out the two channels' band levels; returns the balanced pair.
  StereoSample Balance(float left, float right) noexcept;

  const Velvet<kLateTaps>& Late(size_t q) const { return late_[q]; }
  float LineGain(size_t n) const { return line_gain_[n]; }
  float DampingCoefficient(size_t n) const { return damping_coeff_[n]; }

 private:
  template <size_t kCapacity>
  static float VelvetStep(Velvet<kCapacity>& v, float x, size_t write, size_t block_pos) noexcept;
  // The bodies of ReadLine, AdvanceLines, FeedLines and Balance for line position p, inlined
  // into the per-frame and the per-block paths alike.
  float ReadLineAt(size_t line, size_t p) noexcept;
  void AdvanceAt(size_t p, float* out) noexcept;
  void FeedAt(size_t p, const float* acc, const float* out) noexcept;
  StereoSample BalanceOne(float left, float right) noexcept;
  StereoSample BalanceBands(const float* band_left, const float* band_right) noexcept;
  // The lines of a whole block, vectors across time: out[n][i] is line n's damped output in
  // frame i; then the block's feedback writes with the injections acc[n][i].
  void AdvanceBlock(std::array<std::array<float, kVelvetBlock>, kLines>& out) noexcept;
  void FeedBlock(const std::array<std::array<float, kVelvetBlock>, kLines>& acc,
                 const std::array<std::array<float, kVelvetBlock>, kLines>& out) noexcept;

  std::array<Velvet<kMaxEarlyTaps>, kEarlySequences> early_{};
  std::array<Velvet<kLateTaps>, 2> late_{};
  size_t velvet_write_ = 0;  // shared write position of all velvet histories
  size_t block_pos_ = 0;     // frame within the current velvet block

  std::array<std::array<float, kLines>, kLayers> injection_left_{};
  std::array<std::array<float, kLines>, kLayers> injection_right_{};

  // One ring per line (and per diffuser), so a block's frames are contiguous in each: the block
  // path reads and writes them as vectors across time.
  std::array<std::array<float, kLineRingLength>, kLines> line_ring_{};
  size_t line_pos_ = 0;  // shared write position of the line rings
  std::array<float, kLines> mod_phase_{};
  std::array<float, kLines> mod_rate_{};
  std::array<float, kLines> line_prev_{};  // last interpolated output of a modulated line

  std::array<std::array<std::array<float, kAllpassRingLength>, kLines>, kAllpassesPerLine>
      allpass_{};  // [diffuser][line][position]
  size_t allpass_pos_ = 0;  // shared position of all diffusers

  std::array<Biquad, 3> colour_left_{};
  std::array<Biquad, 3> colour_right_{};

  BandSplit split_left_{};
  BandSplit split_right_{};
  std::array<float, kBandSplitBands> power_left_{};
  std::array<float, kBandSplitBands> power_right_{};
  std::array<float, kBandSplitBands> gain_left_{};
  std::array<float, kBandSplitBands> gain_right_{};

  std::array<float, kLines> damping_state_{};
  std::array<float, kLines> damping_coeff_{};
  std::array<float, kLines> damping_keep_{};  // 1 - damping coefficient
  std::array<float, kLines> line_gain_{};
  float width_ = 0.0f;
};

}  // namespace halvex
