// Folds a decoded MatrixBus back to two channels, placing the surrounds behind the listener:
// delayed, coloured, optionally cross-fed, with the front leak of the surround cancelled.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "core/config/config_defaults.h"
#include "core/dsp/filters/biquad.h"
#include "core/dsp/matrix/matrix_decode.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

// Peaking sections that colour a sound coming from behind: a dip at 4.5 and 9 kHz, a small lift
// at 700 Hz (gains scaled down over loudspeakers).
constexpr std::array<float, 3> kColourHz{4500.0f, 9000.0f, 700.0f};
constexpr std::array<float, 3> kColourDb{-2.5f, -1.5f, 1.0f};
constexpr std::array<float, 3> kColourWidthOct{1.0f, 0.7f, 1.5f};

class MatrixRender {
 public:
  static constexpr size_t kRingLength = 2048;
  static constexpr size_t kPassiveDelay = 960;  // 20 ms
  static constexpr size_t kSteeredDelay = 480;  // 10 ms
  static constexpr size_t kCrossfeedDelay = 34;
  // The longest delay and a whole block fit in a ring (see Ring::PushBlock).
  static_assert(kPassiveDelay + kMaxStageBlock <= kRingLength);

  void Configure(const ProcessorConfig& config, bool steered);
  void Reset() noexcept;
  std::pair<float, float> PlaceSurround(float left, float right) noexcept;
  StereoSample Render(const MatrixBus& bus) noexcept;
  // `frames` (at most kMaxStageBlock) Render calls at once. The passive fold never hears its
  // right placement (it takes the left one inverted), so Render and RenderBlock leave that
  // chain idle there.
  void RenderBlock(const MatrixBus* bus, StereoSample* out, size_t frames) noexcept;
  // RenderBlock of the passive decoder's buses, PassiveMatrix::BusOf(in[i], surround[i]),
  // without building them.
  void RenderPassiveBlock(const StereoSample* in, const float* surround, StereoSample* out,
                          size_t frames) noexcept;

  float colour_norm() const { return colour_norm_; }
  float rear_gain() const { return rear_gain_; }
  size_t surround_delay() const { return surround_delay_; }

 private:
  struct Ring {
    std::array<float, kRingLength> line{};
    size_t write = 0;
    // Stores x and returns the sample stored `delay` calls earlier (delay < kRingLength).
    float Push(float x, size_t delay) noexcept {
      line[write] = x;
      const float out = line[(write - delay) & (kRingLength - 1)];
      write = (write + 1) & (kRingLength - 1);
      return out;
    }
    // Push for each of x[0..frames), in place. Writing the block before reading it is the same
    // as frame by frame while delay + frames <= kRingLength.
    void PushBlock(float* x, size_t frames, size_t delay) noexcept {
      // Each copy in at most two runs, split where the ring wraps.
      const size_t write_run = std::min(frames, kRingLength - write);
      std::copy(x, x + write_run, line.begin() + write);
      std::copy(x + write_run, x + frames, line.begin());
      const size_t read = (write - delay) & (kRingLength - 1);
      const size_t read_run = std::min(frames, kRingLength - read);
      std::copy(line.begin() + read, line.begin() + read + read_run, x);
      std::copy(line.begin(), line.begin() + (frames - read_run), x + read_run);
      write = (write + frames) & (kRingLength - 1);
    }
    void Clear() noexcept {
      line.fill(0.0f);
      write = 0;
    }
  };

  // The cancellation and fold of frames whose buses bus_at(i) gives, after their placement.
  template <typename BusAt>
  void FoldBlock(BusAt bus_at, const float* pl, const float* pr, StereoSample* out,
                 size_t frames) noexcept;
  // Whether the right placement reaches the output: as the right surround, or cross-fed.
  bool RightHeard() const noexcept { return stereo_surround_ || crossfeed_gain_ > 0.0f; }
  // The left half of PlaceSurround, without cross-feed.
  float PlaceLeft(float left) noexcept;
  // PlaceSurround of left[i], right[i] in place; with `right_heard` false the right chain and
  // ring are left as they are.
  void PlaceBlock(float* left, float* right, size_t frames, bool right_heard) noexcept;

  std::array<Biquad, 3> colour_left_;
  std::array<Biquad, 3> colour_right_;
  Ring surround_left_;
  Ring surround_right_;
  Ring crossfeed_left_;
  Ring crossfeed_right_;
  float colour_norm_ = 1.0f;
  size_t surround_delay_ = kPassiveDelay;
  size_t crossfeed_delay_ = kCrossfeedDelay;
  float rear_gain_ = 0.0f;
  float crossfeed_gain_ = 0.0f;
  float smoothing_ = 0.0f;
  float corr_ = 0.0f;
  float power_ = 0.0f;
  bool stereo_surround_ = false;
};

}  // namespace halvex
