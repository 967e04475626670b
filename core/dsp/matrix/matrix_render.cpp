#include "core/dsp/matrix/matrix_render.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/filters/biquad_chain.h"
#include "core/dsp/kit/multiversion.h"

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
// A cancel signal quieter than this is not fitted; it is taken out at rear_gain.
constexpr float kSilentPower = 1e-9f;
// The most of the cancel signal taken out of the fronts.
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

namespace {

// The colour chain on one sample.
[[gnu::always_inline]] inline float Colour(std::array<Biquad, 3>& chain, float x) {
  for (Biquad& section : chain) x = section.Process(x);
  return x;
}

// The cancellation and the fold to stereo of one frame, given its placed surrounds.
struct Fold {
  float smoothing;
  float rear_gain;
  bool stereo_surround;

  [[gnu::always_inline]] StereoSample operator()(const MatrixBus& bus, float pl, float pr,
                                                 float& corr, float& power) const {
    const float lf = bus.left + bus.extra_left + bus.centre;
    const float rf = bus.right + bus.extra_right + bus.centre;

    // Least-squares estimate of how much of the cancel signal the fronts carry, so the
    // surround is taken out of the fronts about as strongly as it is put behind.
    const float k = smoothing;
    corr += k * (bus.cancel_left * lf + bus.cancel_right * rf - corr);
    power += k * (bus.cancel_left * bus.cancel_left + bus.cancel_right * bus.cancel_right - power);
    float o = rear_gain;
    if (power >= kSilentPower) {
      float beta = corr / power;
      const float excess = beta * beta - rear_gain * rear_gain;
      if (excess > 0.0f) beta -= std::sqrt(excess);
      o = std::clamp(beta, 0.0f, kMaxCancel);
    }

    StereoSample out;
    out.left = pl * rear_gain + lf - bus.cancel_left * o;
    out.right = (stereo_surround ? pr : -pl) * rear_gain + rf - bus.cancel_right * o;
    return out;
  }
};

}  // namespace

float MatrixRender::PlaceLeft(float left) noexcept {
  return Colour(colour_left_, surround_left_.Push(left, surround_delay_) * colour_norm_);
}

std::pair<float, float> MatrixRender::PlaceSurround(float left, float right) noexcept {
  const float cl = PlaceLeft(left);
  const float cr =
      Colour(colour_right_, surround_right_.Push(right, surround_delay_) * colour_norm_);
  const float cl_earlier = crossfeed_left_.Push(cl, crossfeed_delay_);
  const float cr_earlier = crossfeed_right_.Push(cr, crossfeed_delay_);
  if (crossfeed_gain_ <= 0.0f) return {cl, cr};
  return {cl + crossfeed_gain_ * cr_earlier, cr + crossfeed_gain_ * cl_earlier};
}

template <typename BusAt>
[[gnu::always_inline]] inline void MatrixRender::FoldBlock(BusAt bus_at, const float* pl,
                                                           const float* pr, StereoSample* out,
                                                           size_t frames) noexcept {
  const Fold fold{smoothing_, rear_gain_, stereo_surround_};
  float corr = corr_;
  float power = power_;
  for (size_t i = 0; i < frames; ++i) out[i] = fold(bus_at(i), pl[i], pr[i], corr, power);
  corr_ = corr;
  power_ = power;
}

// Flattened so the colour biquads inside PlaceSurround land in the FMA clone.
HALVEX_FMA_CLONES __attribute__((flatten))
StereoSample MatrixRender::Render(const MatrixBus& bus) noexcept {
  const Fold fold{smoothing_, rear_gain_, stereo_surround_};
  if (!RightHeard()) return fold(bus, PlaceLeft(bus.surround_left), 0.0f, corr_, power_);
  const auto [pl, pr] = PlaceSurround(bus.surround_left, bus.surround_right);
  return fold(bus, pl, pr, corr_, power_);
}

// Restrict: the samples do not alias the filters, so their states stay in registers.
HALVEX_FMA_CLONES
void MatrixRender::PlaceBlock(float* __restrict left, float* __restrict right, size_t frames,
                              bool right_heard) noexcept {
  surround_left_.PushBlock(left, frames, surround_delay_);
  for (size_t i = 0; i < frames; ++i) left[i] *= colour_norm_;
  BiquadChain right_chain;
  if (right_heard) {
    surround_right_.PushBlock(right, frames, surround_delay_);
    for (size_t i = 0; i < frames; ++i) right[i] *= colour_norm_;
    right_chain = {colour_right_.data(), colour_right_.size(), right};
  }
  RunBiquadChains({colour_left_.data(), colour_left_.size(), left}, right_chain, frames);
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

HALVEX_FMA_CLONES __attribute__((flatten))
void MatrixRender::RenderBlock(const MatrixBus* __restrict bus, StereoSample* __restrict out,
                               size_t frames) noexcept {
  std::array<float, kMaxStageBlock> pl, pr;
  for (size_t i = 0; i < frames; ++i) {
    pl[i] = bus[i].surround_left;
    pr[i] = bus[i].surround_right;
  }
  PlaceBlock(pl.data(), pr.data(), frames, RightHeard());
  FoldBlock([bus](size_t i) { return bus[i]; }, pl.data(), pr.data(), out, frames);
}

HALVEX_FMA_CLONES __attribute__((flatten))
void MatrixRender::RenderPassiveBlock(const StereoSample* __restrict in,
                                      const float* __restrict surround,
                                      StereoSample* __restrict out, size_t frames) noexcept {
  std::array<float, kMaxStageBlock> pl, pr;
  std::copy(surround, surround + frames, pl.begin());
  std::copy(surround, surround + frames, pr.begin());
  PlaceBlock(pl.data(), pr.data(), frames, RightHeard());
  FoldBlock([in, surround](size_t i) { return PassiveMatrix::BusOf(in[i], surround[i]); },
            pl.data(), pr.data(), out, frames);
}

}  // namespace halvex
