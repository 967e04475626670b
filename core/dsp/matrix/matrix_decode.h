// Matrix-surround decoders: a passive difference decoder and an active, servo-steered one,
// both producing the nine-channel MatrixBus that MatrixRender folds back to stereo.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "core/config/config_defaults.h"
#include "core/dsp/filters/biquad.h"
#include "core/dsp/spatial_stage.h"

namespace halvex {

// The decoded channels of one frame.
struct MatrixBus {
  float left = 0.0f;
  float right = 0.0f;
  float centre = 0.0f;
  float surround_left = 0.0f;
  float surround_right = 0.0f;
  float cancel_left = 0.0f;   // removed from the fronts by an adaptive amount
  float cancel_right = 0.0f;
  float extra_left = 0.0f;    // added to the fronts
  float extra_right = 0.0f;
};

// Fixed decoder: the band-limited difference (100 Hz to 7 kHz, fourth-order Butterworth edges)
// is the surround.
class PassiveMatrix {
 public:
  void Configure();
  void Reset() noexcept;
  MatrixBus Decode(float left, float right) noexcept;
  // The bus of a frame whose band-limited difference is `surround`.
  static MatrixBus BusOf(StereoSample in, float surround) noexcept {
    MatrixBus bus;
    bus.left = in.left;
    bus.right = in.right;
    bus.surround_left = surround;
    bus.surround_right = surround;
    bus.cancel_left = surround;
    bus.cancel_right = -surround;
    return bus;
  }
  // The band-limited difference of each frame, exactly as that many Decode calls make it; the
  // rest of each bus is Decode's plain copy of the input.
  void DecodeBlock(const StereoSample* in, float* surround, size_t frames) noexcept;

 private:
  // The two high-pass sections, then the two low-pass ones.
  std::array<Biquad, 4> band_;
};

// Two allpass chains whose outputs stay about 90 degrees apart across the audio band.
class HilbertPair {
  friend class SteeredMatrix;  // runs both pairs' four chains as lanes of one vector

 public:
  struct Output {
    float reference = 0.0f;   // chain A, one frame late
    float quadrature = 0.0f;  // chain B
  };

  void Reset() noexcept;
  Output Process(float x) noexcept;

 private:
  static constexpr size_t kSections = 4;
  // The k-th section of both chains, each value as {chain A, chain B}: side by side in memory,
  // so that two pairs load straight into the four lanes of one vector. A section is one
  // second-order allpass, y = c (x + y[n-2]) - x[n-2].
  using Lanes = std::array<float, 2>;
  struct Section {
    Lanes x1{};
    Lanes x2{};
    Lanes y1{};
    Lanes y2{};
  };
  // F is float or a float vector: one text for the scalar and the lane-wise step.
  template <typename F>
  static F Step(F& x1, F& x2, F& y1, F& y2, F c, F x) noexcept {
    const F y = c * (x + y2) - x2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }

  std::array<Section, kSections> sections_{};
  float previous_a_ = 0.0f;
};

// Measures left/right and front/back dominance (dB) with slew-limited followers.
struct DominanceServo {
  struct Dominance {
    float lr_steer = 0.0f;
    float front_back = 0.0f;
    float lr_position = 0.0f;
  };
  // Largest change of each dominance value per frame, dB.
  static constexpr float kSlewDb = 0.03125f;

  float attack = 0.0f;        // envelope rising
  float release = 0.0f;       // envelope falling
  float average_rate = 0.0f;  // slow left/right average
  float env_left = 0.0f;
  float env_right = 0.0f;
  float env_centre = 0.0f;
  float env_surround = 0.0f;
  float lr_average = 0.0f;
  float lr_steer = 0.0f;
  float front_back = 0.0f;
  float lr_position = 0.0f;

  void SetRates() noexcept;
  // Zeroes the followers and dominance values, keeps the rates.
  void Clear() noexcept;
  Dominance Update(const MatrixBus& bus) noexcept;
  // Update's second half: moves the dominance values toward the ratios (dB) of the followers.
  Dominance Settle(float lr_ratio, float fb_ratio) noexcept;
};

// Active decoder: 90-degree copies of both inputs, steered by the measured dominance.
class SteeredMatrix {
 public:
  void Configure(const ProcessorConfig& config);
  void Reset() noexcept;
  MatrixBus Decode(float left, float right) noexcept;
  // `frames` Decode calls at once; reference[i] is Reference() after the i-th.
  void DecodeBlock(const StereoSample* in, MatrixBus* bus, StereoSample* reference,
                   size_t frames) noexcept;
  void UpdateWeights(const MatrixBus& bus) noexcept;
  std::pair<float, float> Rears(float a, float b) const noexcept;

  // The inputs after the reference allpass chains in the last Decode: the dry signal that lines
  // up in phase with the decoded fronts.
  StereoSample Reference() const noexcept { return reference_; }

  const DominanceServo& servo() const { return servo_; }
  float w_left() const { return w_left_; }
  float w_right() const { return w_right_; }
  float w_front() const { return w_front_; }
  float w_rear_left() const { return w_rear_left_; }
  float w_rear_right() const { return w_rear_right_; }

 private:
  void SetWeights(DominanceServo::Dominance d) noexcept;

  HilbertPair hilbert_left_;
  HilbertPair hilbert_right_;
  DominanceServo servo_;
  float w_left_ = 0.0f;
  float w_right_ = 0.0f;
  float w_front_ = 0.0f;
  float w_rear_left_ = 0.0f;
  float w_rear_right_ = 0.0f;
  float centre_width_ = 0.0f;
  float panorama_ = 0.0f;
  StereoSample reference_;
};

}  // namespace halvex
