#include "core/dsp/matrix_decode.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/multiversion.h"

namespace halvex {
namespace {

constexpr float kHalfSqrt2 = 0.70710677f;  // 1/sqrt 2
constexpr float kSqrtTwoThirds = 0.81649655f;
constexpr float kSqrtThird = 0.57735026f;
// 2 sqrt 2 / 3: how much of the dominant rear leaks into the opposite rear.
constexpr float kRearLeak = 0.942809f;
// sqrt(2/3) - 1/sqrt 3, divided by sqrt 2: the centre's leak into each rear.
constexpr float kCentreLeak = 0.16910197f;

// Fourth-order Butterworth as two second-order sections.
constexpr std::array<float, 2> kButterworthQ{0.5411961f, 1.3065629f};
constexpr float kBandLowHz = 100.0f;
constexpr float kBandHighHz = 7000.0f;

// Allpass coefficients of the two chains; their phase responses differ by about 90 degrees
// from roughly 20 Hz to 20 kHz.
constexpr std::array<float, 4> kChainA{0.4794009f, 0.87621838f, 0.97659755f, 0.99749911f};
constexpr std::array<float, 4> kChainB{0.16175847f, 0.73302883f, 0.94534975f, 0.99059916f};

constexpr float kAttack = 0.0026007891f;
constexpr float kRelease = 9.4711780e-05f;
constexpr float kAverageRate = 6.9737434e-06f;
constexpr float kTiny = 1e-12f;
constexpr float kRatioLimitDb = 45.0f;

float Follow(float env, float x, float attack, float release) {
  const float a = std::fabs(x);
  const float k = a > env ? attack : release;
  return env + k * (a - env);
}

float RatioDb(float x, float y) {
  if (x < kTiny && y < kTiny) return 0.0f;
  return std::clamp(Db((x + kTiny) / (y + kTiny)), -kRatioLimitDb, kRatioLimitDb);
}

float SlewToward(float value, float target) {
  return value + std::clamp(target - value, -DominanceServo::kSlewDb, DominanceServo::kSlewDb);
}

// 0 up to 3 dB of dominance, then rising to 1 at 15 dB.
float DominanceWeight(float db) { return db <= 3.0f ? 0.0f : std::min((db - 3.0f) / 12.0f, 1.0f); }

}  // namespace

void PassiveMatrix::Configure() {
  for (size_t i = 0; i < 2; ++i) {
    highpass_[i].SetHighpass(kBandLowHz, kButterworthQ[i]);
    lowpass_[i].SetLowpass(kBandHighHz, kButterworthQ[i]);
  }
}

void PassiveMatrix::Reset() noexcept {
  for (size_t i = 0; i < 2; ++i) {
    highpass_[i].Reset();
    lowpass_[i].Reset();
  }
}

HALVEX_FMA_CLONES
MatrixBus PassiveMatrix::Decode(float left, float right) noexcept {
  float s = (left - right) * kHalfSqrt2;
  s = highpass_[0].Process(s);
  s = highpass_[1].Process(s);
  s = lowpass_[0].Process(s);
  s = lowpass_[1].Process(s);
  MatrixBus bus;
  bus.left = left;
  bus.right = right;
  bus.surround_left = s;
  bus.surround_right = s;
  bus.cancel_left = s;
  bus.cancel_right = -s;
  return bus;
}

void HilbertPair::Reset() noexcept {
  chain_a_ = {};
  chain_b_ = {};
  previous_a_ = 0.0f;
}

HilbertPair::Output HilbertPair::Process(float x) noexcept {
  // The two chains run side by side: independent work the CPU can overlap.
  float a = x;
  float b = x;
  for (size_t i = 0; i < kSections; ++i) {
    a = Step(chain_a_[i], kChainA[i], a);
    b = Step(chain_b_[i], kChainB[i], b);
  }
  const Output out{previous_a_, b};
  previous_a_ = a;
  return out;
}

void DominanceServo::SetRates() noexcept {
  attack = kAttack;
  release = kRelease;
  average_rate = kAverageRate;
}

void DominanceServo::Clear() noexcept {
  env_left = env_right = env_centre = env_surround = 0.0f;
  lr_average = lr_steer = front_back = lr_position = 0.0f;
}

DominanceServo::Dominance DominanceServo::Update(const MatrixBus& bus) noexcept {
  env_left = Follow(env_left, bus.left, attack, release);
  env_right = Follow(env_right, bus.right, attack, release);
  env_centre = Follow(env_centre, bus.centre, attack, release);
  env_surround = Follow(env_surround, bus.surround_left, attack, release);

  const float r = RatioDb(env_left, env_right);
  lr_average += average_rate * (r - lr_average);
  lr_steer = SlewToward(lr_steer, r - std::clamp(lr_average, -3.0f, 3.0f));
  lr_position = SlewToward(lr_position, r);
  front_back = SlewToward(front_back, RatioDb(env_centre, env_surround));
  return {lr_steer, front_back, lr_position};
}

void SteeredMatrix::Configure(const ProcessorConfig& config) {
  centre_width_ = config.centre_width;
  panorama_ = config.panorama;
  servo_.SetRates();
  Reset();
}

void SteeredMatrix::Reset() noexcept {
  hilbert_left_.Reset();
  hilbert_right_.Reset();
  servo_.Clear();
  w_left_ = w_right_ = w_front_ = w_rear_left_ = w_rear_right_ = 0.0f;
  reference_ = {};
}

void SteeredMatrix::UpdateWeights(const MatrixBus& bus) noexcept {
  const DominanceServo::Dominance d = servo_.Update(bus);
  w_left_ = DominanceWeight(d.lr_steer);
  w_right_ = DominanceWeight(-d.lr_steer);
  w_front_ = DominanceWeight(d.front_back);
  const float rear = DominanceWeight(-d.front_back);

  // Pan the rear cancellation with the left/right position: 0 dB splits it evenly, +-3 dB
  // puts it all on one side.
  const float g = d.lr_position / 6.02f + 0.5f;
  if (g < 0.0f) {
    w_rear_left_ = 0.0f;
    w_rear_right_ = rear;
  } else {
    const float m = std::min(g, 1.0f);
    w_rear_left_ = rear * m;
    w_rear_right_ = rear * (1.0f - m);
  }
}

std::pair<float, float> SteeredMatrix::Rears(float a, float b) const noexcept {
  const float e = a * kSqrtTwoThirds - b * kSqrtThird;
  const float h = a * kSqrtThird - b * kSqrtTwoThirds;
  const float g = (a + b) * kHalfSqrt2;
  const float f = kCentreLeak * w_front_ * (1.0f - centre_width_);
  const float first = e - f * g - a * w_left_ * kSqrtTwoThirds + b * w_right_ * kSqrtThird -
                      h * kRearLeak * w_rear_right_;
  const float second = h + f * g - a * w_left_ * kSqrtThird + b * w_right_ * kSqrtTwoThirds -
                       e * kRearLeak * w_rear_left_;
  return {first, second};
}

// Flattened: the servo, weights and rears are small per-frame steps worth inlining here.
__attribute__((flatten))
MatrixBus SteeredMatrix::Decode(float left, float right) noexcept {
  const HilbertPair::Output l = hilbert_left_.Process(left);
  const HilbertPair::Output r = hilbert_right_.Process(right);
  const float a0 = l.reference;
  const float a90 = l.quadrature;
  const float b0 = r.reference;
  const float b90 = r.quadrature;
  reference_ = {a0, b0};
  const float c = (a0 + b0) * kHalfSqrt2;

  MatrixBus probe;
  probe.left = a0;
  probe.right = b0;
  probe.centre = c;
  probe.surround_left = a90 * kSqrtTwoThirds - b90 * kSqrtThird;
  probe.surround_right = a90 * kSqrtThird - b90 * kSqrtTwoThirds;
  UpdateWeights(probe);

  MatrixBus bus;
  const float m = kHalfSqrt2 * w_front_ * c;
  bus.centre = m;
  const auto [s1, s2] = Rears(a90, b90);
  bus.surround_left = s1;
  bus.surround_right = s2;
  const auto [u, v] = Rears(a0, b0);
  bus.cancel_left = kSqrtTwoThirds * u + kSqrtThird * v;
  bus.cancel_right = -kSqrtThird * u - kSqrtTwoThirds * v;
  const float t = w_rear_left_ * kSqrtTwoThirds * u + w_rear_right_ * kSqrtThird * v;
  const float back = w_rear_left_ * kSqrtThird * u + w_rear_right_ * kSqrtTwoThirds * v;
  bus.left = a0 - m - t;
  bus.right = b0 - m + back;
  bus.extra_left = t;
  bus.extra_right = -back;
  if (panorama_ > 0.0f) {
    const float p = (bus.left - bus.right) * kHalfSqrt2 * panorama_;
    bus.surround_left += p;
    bus.surround_right -= p;
  }
  return bus;
}

}  // namespace halvex
