// The field's feedback delay network: eight lines, each a delay (the last two slowly
// modulated), three Schroeder diffusers and a damping low-pass, fed back through a Householder
// matrix so the field decays in `field_size` seconds, highs faster than lows.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/deep_field/field_lanes.h"

namespace halvex {

class FieldNetwork {
 public:
  static constexpr size_t kLines = 8;
  static constexpr size_t kRingLength = 4096;
  static constexpr size_t kAllpassesPerLine = 3;
  // Must hold the longest diffuser delay (709 frames).
  static constexpr size_t kAllpassRingLength = 1024;
  static constexpr size_t kBlock = field::kBlock;
  using Frame = std::array<float, kLines>;                       // one value per line
  using Block = std::array<std::array<float, kBlock>, kLines>;  // [line][frame]

  // Modulation rates and the damping for a decay of `field_size` seconds; clears the state.
  void Configure(float field_size);
  void BuildDamping(float field_size);
  void Reset();

  // The delayed (and for lines 6 and 7 modulated) output of one line, before this frame's write.
  float ReadLine(size_t line) noexcept;
  // One frame: the lines' damped outputs, then the feedback write with `acc` injected.
  void Advance(Frame& out) noexcept;
  void Feed(const Frame& acc, const Frame& out) noexcept;
  // The same for a block of frames, vectors across time, with the result of kBlock frames of
  // Advance and Feed.
  void AdvanceBlock(Block& out) noexcept;
  void FeedBlock(const Block& acc, const Block& out) noexcept;

 private:
  float ReadLineAt(size_t line, size_t p) noexcept;

  // One ring per line (and per diffuser), so a block's frames are contiguous in each.
  std::array<std::array<float, kRingLength>, kLines> line_ring_{};
  size_t line_pos_ = 0;  // shared write position of the line rings
  std::array<float, kLines> mod_phase_{};
  std::array<float, kLines> mod_rate_{};
  std::array<float, kLines> line_prev_{};  // last interpolated output of a modulated line

  std::array<std::array<std::array<float, kAllpassRingLength>, kLines>, kAllpassesPerLine>
      allpass_{};  // [diffuser][line][position]
  size_t allpass_pos_ = 0;  // shared position of all diffusers

  std::array<float, kLines> damping_state_{};
  std::array<float, kLines> damping_coeff_{};
  std::array<float, kLines> damping_keep_{};  // 1 - damping coefficient
  std::array<float, kLines> line_gain_{};
};

}  // namespace halvex
