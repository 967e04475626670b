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
  float cl = surround_left_.Push(left, surround_delay_) * colour_norm_;
  float cr = surround_right_.Push(right, surround_delay_) * colour_norm_;
  for (size_t i = 0; i < colour_left_.size(); ++i) {
    cl = colour_left_[i].Process(cl);
    cr = colour_right_[i].Process(cr);
  }
  const float cl_earlier = crossfeed_left_.Push(cl, crossfeed_delay_);
  const float cr_earlier = crossfeed_right_.Push(cr, crossfeed_delay_);
  if (crossfeed_gain_ <= 0.0f) return {cl, cr};
  return {cl + crossfeed_gain_ * cr_earlier, cr + crossfeed_gain_ * cl_earlier};
}

// Flattened so the colour biquads inside PlaceSurround land in the FMA clone.
HALVEX_FMA_CLONES __attribute__((flatten))
StereoSample MatrixRender::Render(const MatrixBus& bus) noexcept {
  const auto [pl, pr] = PlaceSurround(bus.surround_left, bus.surround_right);
  const float lf = bus.left + bus.extra_left + bus.centre;
  const float rf = bus.right + bus.extra_right + bus.centre;

  // Least-squares estimate of how much of the cancel signal the fronts carry, so the surround
  // is taken out of the fronts about as strongly as it is put behind.
  const float k = smoothing_;
  corr_ += k * (bus.cancel_left * lf + bus.cancel_right * rf - corr_);
  power_ += k * (bus.cancel_left * bus.cancel_left + bus.cancel_right * bus.cancel_right - power_);
  float o = rear_gain_;
  if (power_ >= kSilentPower) {
    float beta = corr_ / power_;
    const float excess = beta * beta - rear_gain_ * rear_gain_;
    if (excess > 0.0f) beta -= std::sqrt(excess);
    o = std::clamp(beta, 0.0f, kMaxCancel);
  }

  StereoSample out;
  out.left = pl * rear_gain_ + lf - bus.cancel_left * o;
  out.right = (stereo_surround_ ? pr : -pl) * rear_gain_ + rf - bus.cancel_right * o;
  return out;
}

}  // namespace halvex
