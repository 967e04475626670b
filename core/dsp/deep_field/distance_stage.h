// Places the source at a distance: the direct sound darkened by air, plus three delayed,
// filtered reflection sends and one late send that feed the synthetic field.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/spatial_stage.h"

namespace halvex {

// One send into the field: a left and a right value.
struct FieldSend {
  float left = 0.0f;
  float right = 0.0f;
};

// A block of sends as rows of frames: rows 2k and 2k + 1 the left and right send of reflection
// k, rows 6 and 7 the late send's left and right.
inline constexpr size_t kSendRows = 8;
inline constexpr size_t kSendBlock = 32;
using SendRows = std::array<std::array<float, kSendBlock>, kSendRows>;

struct DistanceOutput {
  StereoSample direct;
  std::array<FieldSend, 3> sends;
  FieldSend late;
};

class DistanceStage {
 public:
  static constexpr size_t kReflections = 3;
  static constexpr size_t kRingLength = 2048;
  // Every reflection arrives at least 4 ms after the direct sound, so its sends may be read
  // this many frames ahead of the input.
  static constexpr size_t kMinDelay = 192;

  void Configure(float distance, float air, float field_level);
  void Reset();
  // x is the unshaped input (direct path), shaped the gated input that feeds the reflections.
  DistanceOutput Process(float left, float right, float shaped_left, float shaped_right) noexcept;

  // Process in three independent parts, for callers that run the reflections ahead of the
  // direct sound: the direct path of one frame; one frame into the reflection rings; the sends
  // of the next frame to be read. Sends reads what Feed wrote `delay` frames earlier, so it may
  // run up to kMinDelay frames ahead of Feed.
  // Inline: it runs once a frame, on the path every frame takes.
  StereoSample Direct(float left, float right) noexcept {
    direct_lp_left_ += direct_coefficient_ * (left - direct_lp_left_);
    direct_lp_right_ += direct_coefficient_ * (right - direct_lp_right_);
    return {dry_mix_ * left + air_mix_ * direct_lp_left_,
            dry_mix_ * right + air_mix_ * direct_lp_right_};
  }
  // Direct for `count` frames in a row, plus the field: out[i] = {Direct(in[i]) + field[i], in[i]}.
  void DirectBlock(const StereoSample* in, const StereoSample* field, StageOutput* out,
                   size_t count) noexcept;
  void Feed(float shaped_left, float shaped_right) noexcept;
  void Sends(std::array<FieldSend, 3>& sends, FieldSend& late) noexcept;
  // Feed and Sends for `count` frames (at most kMaxBlock) in a row; the sends' six filters run
  // side by side in one vector.
  static constexpr size_t kMaxBlock = kSendBlock;
  void FeedBlock(const StereoSample* shaped, size_t count) noexcept;
  // The sends as rows; a row's entries past `count` are left undefined.
  void SendsBlock(size_t count, SendRows& rows) noexcept;

 private:
  struct Reflection {
    std::array<float, kRingLength> ring_left{};
    std::array<float, kRingLength> ring_right{};
    size_t write = 0;
    size_t read = 0;  // ring slot of the frame whose send is read next
    size_t delay = 0;
    float gain = 0.0f;
    float coefficient = 0.0f;
    float lp_left = 0.0f;
    float lp_right = 0.0f;
  };

  float direct_coefficient_ = 0.0f;
  float air_mix_ = 0.0f;
  float dry_mix_ = 1.0f;  // 1 - air_mix_
  float direct_lp_left_ = 0.0f;
  float direct_lp_right_ = 0.0f;
  float late_level_ = 0.0f;  // combined level of the three reflections
  float late_norm_ = 1e-9f;
  std::array<Reflection, kReflections> reflections_{};
};

}  // namespace halvex
