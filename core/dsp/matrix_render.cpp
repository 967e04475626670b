#include "core/dsp/matrix_render.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/multiversion.h"

namespace halvex {
namespace {

constexpr float kSpeakerColourScale = 0.6f;
constexpr int kNormPoints = 96;
constexpr double kNormLowHz = 100.0;
constexpr double kLn160 = 5.075173815233827;  // 100 Hz to 16 kHz
constexpr float kSmoothing = 0.00034713745f;  // 91 / 2^18, about a 60 ms average
constexpr float kCrossfeedGain = 0.5011872f;  // -6 dB
constexpr float kRearBase = 0.70794576f;      // -3 dB
// Level trim for the steered decoder's two cross-fed rears.
constexpr float kSteeredRearTrim = 1.1185654f;
constexpr float kSilentPower = 1e-9f;
constexpr float kMaxCancel = 1.5f;

}  // namespace

void MatrixRender::Configure(const ProcessorConfig& config, bool steered) {
  stereo_surround_ = steered;
  const float g =
      config.render_target == RenderTarget::kHeadphones ? 1.0f : kSpeakerColourScale;
  for (size_t i = 0; i < kColourHz.size(); ++i) {
    colour_left_[i].SetPeaking(kColourHz[i], g * kColourDb[i], kColourWidthOct[i]);
    colour_right_[i].SetPeaking(kColourHz[i], g * kColourDb[i], kColourWidthOct[i]);
  }

  // Normalise the colouring to unit RMS gain over a log-spaced 100 Hz..16 kHz grid.
  double sum = 0.0;
  for (int k = 0; k < kNormPoints; ++k) {
    const double hz = kNormLowHz * std::exp(static_cast<double>(k) / (kNormPoints - 1) * kLn160);
    double product = 1.0;
    for (const Biquad& q : colour_left_) product *= q.MagnitudeAt(static_cast<float>(hz));
    sum += product * product;
  }
  const double rms = std::sqrt(sum / kNormPoints);
  colour_norm_ = rms > 0.0 ? static_cast<float>(1.0 / rms) : 1.0f;

  smoothing_ = kSmoothing;
  surround_delay_ = steered ? kSteeredDelay : kPassiveDelay;
  crossfeed_delay_ = kCrossfeedDelay;
  crossfeed_gain_ = steered ? kCrossfeedGain : 0.0f;
  rear_gain_ = kRearBase * config.surround_gain * std::exp2(config.dimension / 2.0f);
  if (steered) rear_gain_ /= kSteeredRearTrim;
  Reset();
}

void MatrixRender::Reset() noexcept {
  for (size_t i = 0; i < colour_left_.size(); ++i) {
    colour_left_[i].Reset();
    colour_right_[i].Reset();
  }
  surround_left_.Clear();
  surround_right_.Clear();
  crossfeed_left_.Clear();
  crossfeed_right_.Clear();
  corr_ = 0.0f;
  power_ = 0.0f;
}

std::pair<float, float> MatrixRender::PlaceSurround(float left, float right) noexcept {
  PlaceBlock(&left, &right, 1, true);
  return {left, right};
}

namespace {

// One colour chain over a block. Restrict: the samples do not alias the filters, so their
// states stay in registers across the block.
[[gnu::always_inline]] inline void Colour(std::array<Biquad, 3>& chain, float norm,
                                          float* __restrict x, size_t frames) {
  for (size_t i = 0; i < frames; ++i) {
    float y = x[i] * norm;
    for (Biquad& section : chain) y = section.Process(y);
    x[i] = y;
  }
}

}  // namespace

HALVEX_FMA_CLONES
void MatrixRender::PlaceBlock(float* __restrict left, float* __restrict right, size_t frames,
                              bool right_heard) noexcept {
  surround_left_.PushBlock(left, frames, surround_delay_);
  Colour(colour_left_, colour_norm_, left, frames);
  if (right_heard) {
    surround_right_.PushBlock(right, frames, surround_delay_);
    Colour(colour_right_, colour_norm_, right, frames);
  }
  // Without cross-feed the cross-feed rings are never read, so they are not written either.
  if (crossfeed_gain_ <= 0.0f) return;
  std::array<float, kMaxStageBlock> left_earlier, right_earlier;
  std::copy(left, left + frames, left_earlier.begin());
  std::copy(right, right + frames, right_earlier.begin());
  crossfeed_left_.PushBlock(left_earlier.data(), frames, crossfeed_delay_);
  crossfeed_right_.PushBlock(right_earlier.data(), frames, crossfeed_delay_);
  for (size_t i = 0; i < frames; ++i) {
    const float cl = left[i];
    const float cr = right[i];
    left[i] = cl + crossfeed_gain_ * right_earlier[i];
    right[i] = cr + crossfeed_gain_ * left_earlier[i];
  }
}

StereoSample MatrixRender::Render(const MatrixBus& bus) noexcept {
  StereoSample out;
  RenderBlock(&bus, &out, 1);
  return out;
}

HALVEX_FMA_CLONES
void MatrixRender::RenderBlock(const MatrixBus* __restrict bus, StereoSample* __restrict out,
                               size_t frames) noexcept {
  std::array<float, kMaxStageBlock> pl, pr;
  for (size_t i = 0; i < frames; ++i) {
    pl[i] = bus[i].surround_left;
    pr[i] = bus[i].surround_right;
  }
  PlaceBlock(pl.data(), pr.data(), frames, stereo_surround_ || crossfeed_gain_ > 0.0f);

  const float k = smoothing_;
  const float rear_gain = rear_gain_;
  float corr = corr_;
  float power = power_;
  for (size_t i = 0; i < frames; ++i) {
    const MatrixBus& b = bus[i];
    const float lf = b.left + b.extra_left + b.centre;
    const float rf = b.right + b.extra_right + b.centre;

    // Least-squares estimate of how much of the cancel signal the fronts carry, so the surround
    // is taken out of the fronts about as strongly as it is put behind.
    corr += k * (b.cancel_left * lf + b.cancel_right * rf - corr);
    power += k * (b.cancel_left * b.cancel_left + b.cancel_right * b.cancel_right - power);
    float o = rear_gain;
    if (power >= kSilentPower) {
      float beta = corr / power;
      const float excess = beta * beta - rear_gain * rear_gain;
      if (excess > 0.0f) beta -= std::sqrt(excess);
      o = std::clamp(beta, 0.0f, kMaxCancel);
    }
    out[i].left = pl[i] * rear_gain + lf - b.cancel_left * o;
    out[i].right = (stereo_surround_ ? pr[i] : -pl[i]) * rear_gain + rf - b.cancel_right * o;
  }
  corr_ = corr;
  power_ = power;
}

}  // namespace halvex
