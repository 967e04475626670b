#include "core/dsp/matrix/matrix_decode.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "core/dsp/filters/biquad_chain.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

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

// Envelope rates per frame: time constants of about 8 ms rising, 220 ms falling, and 3 s for the
// slow left/right average.
constexpr float kAttack = 0.0026007891f;
constexpr float kRelease = 9.4711780e-05f;
constexpr float kAverageRate = 6.9737434e-06f;
// Added to both sides of a ratio, so that a silent side still gives a finite one; with both
// sides below it the ratio is 0 dB.
constexpr float kTiny = 1e-12f;
constexpr float kRatioLimitDb = 45.0f;
// Dominance up to this is not steered; the weights reach 1 kFullSteerSpanDb above it.
constexpr float kSteerThresholdDb = 3.0f;
constexpr float kFullSteerSpanDb = 12.0f;
// The most of a lasting left/right imbalance that the steering takes to be the mix's own.
constexpr float kMaxAverageDb = 3.0f;
// Left/right position over which the rear cancellation pans from one side to the other.
constexpr float kRearPanSpanDb = 6.02f;

[[gnu::always_inline]] inline float Abs(float x) { return std::fabs(x); }
[[gnu::always_inline]] inline Float4 Abs(Float4 x) {
  constexpr int32_t kMagnitudeBits = 0x7fffffff;
  return reinterpret_cast<Float4>(reinterpret_cast<Int4>(x) & kMagnitudeBits);
}

// F is float or Float4 (four followers as lanes): one text, so the lanes get the scalar bits.
template <typename F>
[[gnu::always_inline]] inline F Follow(F env, F x, F attack, F release) {
  const F a = Abs(x);
  const F k = a > env ? attack : release;
  return env + k * (a - env);
}

// Db of four floats, with log10 in plain double arithmetic instead of the library's: the float
// exponent exactly, and ln of the mantissa m (folded into [sqrt 1/2, sqrt 2)) as 2 atanh s with
// s = (m - 1) / (m + 1), whose series to s^23 leaves out less than 1e-19. It is within a rounding
// or two of the library's double, which the rounding to float hides: on every seventh positive
// normal float the two give the same bits. Unlike a library call it is the same on every CPU and
// runs four lanes at once. Lanes that are not positive normal floats go to Db itself.
[[gnu::always_inline]] inline Float4 DbOf(Float4 x) {
  constexpr int32_t kMantissaBits = 0x007fffff;
  constexpr int32_t kOneBits = 0x3f800000;  // 1.0f
  constexpr int kMantissaWidth = 23;
  constexpr int32_t kExponentMask = 0xff;
  constexpr int32_t kExponentBias = 127;
  constexpr float kSqrt2 = 1.4142135f;
  constexpr double kLog10Of2 = 0.30102999566398120;
  constexpr double kLog10OfE = 0.43429448190325182;
  const Int4 bits = reinterpret_cast<Int4>(x);
  Int4 exponent = ((bits >> kMantissaWidth) & kExponentMask) - kExponentBias;
  Float4 m = reinterpret_cast<Float4>((bits & kMantissaBits) | kOneBits);
  const Int4 high = m > kSqrt2;  // -1 where true
  m = high ? m * 0.5f : m;
  exponent -= high;
  const Double4 md = __builtin_convertvector(m, Double4);
  const Double4 s = (md - 1.0) / (md + 1.0);
  const Double4 z = s * s;
  // 1 + z/3 + z^2/5 + ... + z^11/23 in Estrin's scheme, for a short chain of dependent steps.
  const Double4 z2 = z * z;
  const Double4 z4 = z2 * z2;
  const Double4 z8 = z4 * z4;
  const Double4 q0 = 1.0 + z * (1.0 / 3.0);
  const Double4 q1 = 1.0 / 5.0 + z * (1.0 / 7.0);
  const Double4 q2 = 1.0 / 9.0 + z * (1.0 / 11.0);
  const Double4 q3 = 1.0 / 13.0 + z * (1.0 / 15.0);
  const Double4 q4 = 1.0 / 17.0 + z * (1.0 / 19.0);
  const Double4 q5 = 1.0 / 21.0 + z * (1.0 / 23.0);
  const Double4 p = (q0 + q1 * z2) + (q2 + q3 * z2) * z4 + (q4 + q5 * z2) * z8;
  const Double4 ln = 2.0 * s * p;
  const Double4 log10 = __builtin_convertvector(exponent, Double4) * kLog10Of2 + ln * kLog10OfE;
  Float4 db = __builtin_convertvector(log10, Float4) * 20.0f;
  const Int4 normal = (x >= std::numeric_limits<float>::min()) &
                      (x <= std::numeric_limits<float>::max());
  if (normal[0] & normal[1] & normal[2] & normal[3]) return db;
  for (int k = 0; k < 4; ++k) {
    if (!normal[k]) db[k] = Db(x[k]);
  }
  return db;
}

// The dominance of x over y in dB, lane by lane: 0 when both are below kTiny, otherwise
// Db((x + kTiny) / (y + kTiny)) clamped to +-kRatioLimitDb.
[[gnu::always_inline]] inline Float4 RatioDbOf(Float4 x, Float4 y) {
  const Float4 tiny = {kTiny, kTiny, kTiny, kTiny};
  Float4 db = DbOf((x + tiny) / (y + tiny));
  // std::clamp's comparisons, in its order.
  db = db < -kRatioLimitDb ? -kRatioLimitDb + Float4{} : db;
  db = kRatioLimitDb < db ? kRatioLimitDb + Float4{} : db;
  return (x < tiny) & (y < tiny) ? Float4{} : db;
}

float SlewToward(float value, float target) {
  return value + std::clamp(target - value, -DominanceServo::kSlewDb, DominanceServo::kSlewDb);
}

// F is float or Float4 (four frames as lanes) in what follows: one text for the frame-by-frame
// step and for the lanes, with selects where the frame step branches, so the bits are the same.

// 0 up to 3 dB of dominance, then rising to 1 at 15 dB.
template <typename F>
[[gnu::always_inline]] inline F DominanceWeight(F db) {
  const F zero{};
  const F one = zero + 1.0f;
  const F t = (db - kSteerThresholdDb) / kFullSteerSpanDb;
  const F capped = one < t ? one : t;  // std::min(t, 1)
  return db <= kSteerThresholdDb ? zero : capped;
}

template <typename F>
struct Weights {
  F left;
  F right;
  F front;
  F rear_left;
  F rear_right;
};

template <typename F>
[[gnu::always_inline]] inline Weights<F> WeightsOf(F lr_steer, F front_back, F lr_position) {
  Weights<F> w;
  w.left = DominanceWeight(lr_steer);
  w.right = DominanceWeight(-lr_steer);
  w.front = DominanceWeight(front_back);
  const F rear = DominanceWeight(-front_back);

  // Pan the rear cancellation with the left/right position: 0 dB splits it evenly, +-3 dB
  // puts it all on one side.
  const F zero{};
  const F one = zero + 1.0f;
  const F g = lr_position / kRearPanSpanDb + 0.5f;
  const F m = one < g ? one : g;  // std::min(g, 1)
  w.rear_left = g < 0.0f ? zero : rear * m;
  w.rear_right = g < 0.0f ? rear : rear * (1.0f - m);
  return w;
}

template <typename F>
[[gnu::always_inline]] inline std::pair<F, F> RearsOf(const Weights<F>& w, float centre_width, F a,
                                                      F b) {
  const F e = a * kSqrtTwoThirds - b * kSqrtThird;
  const F h = a * kSqrtThird - b * kSqrtTwoThirds;
  const F g = (a + b) * kHalfSqrt2;
  const F f = kCentreLeak * w.front * (1.0f - centre_width);
  const F first = e - f * g - a * w.left * kSqrtTwoThirds + b * w.right * kSqrtThird -
                  h * kRearLeak * w.rear_right;
  const F second = h + f * g - a * w.left * kSqrtThird + b * w.right * kSqrtTwoThirds -
                   e * kRearLeak * w.rear_left;
  return {first, second};
}

// The passive decoder's band-limited difference of one frame.
[[gnu::always_inline]] inline float BandLimit(std::array<Biquad, 4>& band, float left,
                                              float right) {
  float s = (left - right) * kHalfSqrt2;
  for (Biquad& section : band) s = section.Process(s);
  return s;
}

// Two pairs of lanes as one vector and back.
[[gnu::always_inline]] inline Float4 Join(const std::array<float, 2>& low,
                                          const std::array<float, 2>& high) {
  return Float4{low[0], low[1], high[0], high[1]};
}

[[gnu::always_inline]] inline void Split(Float4 v, std::array<float, 2>& low,
                                         std::array<float, 2>& high) {
  low = {v[0], v[1]};
  high = {v[2], v[3]};
}

// The Hilbert outputs of one frame and the centre built from them.
template <typename F>
struct Quadrature {
  F a0;
  F a90;
  F b0;
  F b90;
  F centre;
};

[[gnu::always_inline]] inline Quadrature<float> QuadratureOf(float a0, float a90, float b0,
                                                             float b90) {
  return {a0, a90, b0, b90, (a0 + b0) * kHalfSqrt2};
}

// Four frames' Hilbert outputs from arrays that hold each value's frames side by side.
[[gnu::always_inline]] inline Quadrature<Float4> QuadratureAt(const float* a0, const float* a90,
                                                              const float* b0, const float* b90,
                                                              size_t i) {
  const Float4 a = Load4(a0 + i);
  const Float4 b = Load4(b0 + i);
  return {a, Load4(a90 + i), b, Load4(b90 + i), (a + b) * kHalfSqrt2};
}

template <typename F>
[[gnu::always_inline]] inline F SurroundLeftOf(F a90, F b90) {
  return a90 * kSqrtTwoThirds - b90 * kSqrtThird;
}

// What the servo measures: the fronts, the centre and the plain matrix surrounds.
[[gnu::always_inline]] inline MatrixBus ProbeOf(const Quadrature<float>& q) {
  MatrixBus probe;
  probe.left = q.a0;
  probe.right = q.b0;
  probe.centre = q.centre;
  probe.surround_left = SurroundLeftOf(q.a90, q.b90);
  probe.surround_right = q.a90 * kSqrtThird - q.b90 * kSqrtTwoThirds;
  return probe;
}

// A MatrixBus of float or of Float4 lanes, member for member.
template <typename F>
struct Bus {
  F left;
  F right;
  F centre;
  F surround_left;
  F surround_right;
  F cancel_left;
  F cancel_right;
  F extra_left;
  F extra_right;
};

// The steered bus of a frame, once the weights of that frame are known.
template <typename F>
[[gnu::always_inline]] inline Bus<F> SteerBus(const Weights<F>& w, float centre_width,
                                              float panorama, const Quadrature<F>& q) {
  Bus<F> bus;
  const F m = kHalfSqrt2 * w.front * q.centre;
  bus.centre = m;
  const auto [s1, s2] = RearsOf(w, centre_width, q.a90, q.b90);
  bus.surround_left = s1;
  bus.surround_right = s2;
  const auto [u, v] = RearsOf(w, centre_width, q.a0, q.b0);
  bus.cancel_left = kSqrtTwoThirds * u + kSqrtThird * v;
  bus.cancel_right = -kSqrtThird * u - kSqrtTwoThirds * v;
  const F t = w.rear_left * kSqrtTwoThirds * u + w.rear_right * kSqrtThird * v;
  const F back = w.rear_left * kSqrtThird * u + w.rear_right * kSqrtTwoThirds * v;
  bus.left = q.a0 - m - t;
  bus.right = q.b0 - m + back;
  bus.extra_left = t;
  bus.extra_right = -back;
  if (panorama > 0.0f) {
    const F p = (bus.left - bus.right) * kHalfSqrt2 * panorama;
    bus.surround_left += p;
    bus.surround_right -= p;
  }
  return bus;
}

[[gnu::always_inline]] inline float LaneOf(float v, size_t) { return v; }
[[gnu::always_inline]] inline float LaneOf(Float4 v, size_t k) { return v[k]; }

// Lane k of a bus (a float bus has only the one).
template <typename F>
[[gnu::always_inline]] inline MatrixBus BusLane(const Bus<F>& b, size_t k) {
  MatrixBus bus;
  bus.left = LaneOf(b.left, k);
  bus.right = LaneOf(b.right, k);
  bus.centre = LaneOf(b.centre, k);
  bus.surround_left = LaneOf(b.surround_left, k);
  bus.surround_right = LaneOf(b.surround_right, k);
  bus.cancel_left = LaneOf(b.cancel_left, k);
  bus.cancel_right = LaneOf(b.cancel_right, k);
  bus.extra_left = LaneOf(b.extra_left, k);
  bus.extra_right = LaneOf(b.extra_right, k);
  return bus;
}

// Four frames' buses at once: the members in two groups of four, each turned into one vector per
// frame and stored whole, and the last member frame by frame.
[[gnu::always_inline]] inline void StoreBuses(const Bus<Float4>& b, MatrixBus* bus) {
  static_assert(sizeof(MatrixBus) == 9 * sizeof(float));
  static_assert(offsetof(MatrixBus, surround_right) == 4 * sizeof(float));
  Float4 first[4] = {b.left, b.right, b.centre, b.surround_left};
  Float4 second[4] = {b.surround_right, b.cancel_left, b.cancel_right, b.extra_left};
  Transpose4x4(first);
  Transpose4x4(second);
  for (size_t k = 0; k < 4; ++k) {
    char* at = reinterpret_cast<char*>(&bus[k]);
    std::memcpy(at + offsetof(MatrixBus, left), &first[k], sizeof(Float4));
    std::memcpy(at + offsetof(MatrixBus, surround_right), &second[k], sizeof(Float4));
    bus[k].extra_right = b.extra_right[k];
  }
}

}  // namespace

void PassiveMatrix::Configure() {
  for (size_t i = 0; i < 2; ++i) {
    band_[i].SetHighpass(kBandLowHz, kButterworthQ[i]);
    band_[2 + i].SetLowpass(kBandHighHz, kButterworthQ[i]);
  }
}

void PassiveMatrix::Reset() noexcept {
  for (Biquad& section : band_) section.Reset();
}

HALVEX_FMA_CLONES
MatrixBus PassiveMatrix::Decode(float left, float right) noexcept {
  return BusOf({left, right}, BandLimit(band_, left, right));
}

void PassiveMatrix::DecodeBlock(const StereoSample* __restrict in, float* __restrict surround,
                                size_t frames) noexcept {
  for (size_t i = 0; i < frames; ++i) surround[i] = (in[i].left - in[i].right) * kHalfSqrt2;
  RunBiquadChains({band_.data(), band_.size(), surround}, {}, frames);
}

void HilbertPair::Reset() noexcept {
  sections_ = {};
  previous_a_ = 0.0f;
}

HilbertPair::Output HilbertPair::Process(float x) noexcept {
  // The two chains run side by side: independent work the CPU can overlap.
  float a = x;
  float b = x;
  for (size_t i = 0; i < kSections; ++i) {
    Section& s = sections_[i];
    a = Step(s.x1[0], s.x2[0], s.y1[0], s.y2[0], kChainA[i], a);
    b = Step(s.x1[1], s.x2[1], s.y1[1], s.y2[1], kChainB[i], b);
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
  const Float4 db = RatioDbOf(Float4{env_left, env_centre, env_left, env_centre},
                              Float4{env_right, env_surround, env_right, env_surround});
  return Settle(db[0], db[1]);
}

DominanceServo::Dominance DominanceServo::Settle(float lr_ratio, float fb_ratio) noexcept {
  lr_average += average_rate * (lr_ratio - lr_average);
  lr_steer = SlewToward(lr_steer, lr_ratio - std::clamp(lr_average, -kMaxAverageDb, kMaxAverageDb));
  lr_position = SlewToward(lr_position, lr_ratio);
  front_back = SlewToward(front_back, fb_ratio);
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

void SteeredMatrix::UpdateWeights(const MatrixBus& bus) noexcept { SetWeights(servo_.Update(bus)); }

void SteeredMatrix::SetWeights(DominanceServo::Dominance d) noexcept {
  const Weights<float> w = WeightsOf(d.lr_steer, d.front_back, d.lr_position);
  w_left_ = w.left;
  w_right_ = w.right;
  w_front_ = w.front;
  w_rear_left_ = w.rear_left;
  w_rear_right_ = w.rear_right;
}

std::pair<float, float> SteeredMatrix::Rears(float a, float b) const noexcept {
  return RearsOf(Weights<float>{w_left_, w_right_, w_front_, w_rear_left_, w_rear_right_},
                 centre_width_, a, b);
}

// Flattened: the pairs, the servo, the weights and the rears are small per-frame steps worth
// inlining here.
HALVEX_FMA_CLONES __attribute__((flatten))
MatrixBus SteeredMatrix::Decode(float left, float right) noexcept {
  const HilbertPair::Output l = hilbert_left_.Process(left);
  const HilbertPair::Output r = hilbert_right_.Process(right);
  const Quadrature<float> q =
      QuadratureOf(l.reference, l.quadrature, r.reference, r.quadrature);
  reference_ = {q.a0, q.b0};
  UpdateWeights(ProbeOf(q));
  const Weights<float> w{w_left_, w_right_, w_front_, w_rear_left_, w_rear_right_};
  return BusLane(SteerBus(w, centre_width_, panorama_, q), 0);
}

// In passes over the block: the four allpass chains (as lanes), the four envelope followers (as
// lanes), the dominance ratios (which need only the envelopes, four at a time), the slew-limited
// servo (frame by frame), and the weights and buses (which need only each frame's dominance, four
// frames at a time). Every value gets the operations of the frame-by-frame step in its order, so
// the bits are those of one frame at a time.
HALVEX_FMA_CLONES __attribute__((flatten))
void SteeredMatrix::DecodeBlock(const StereoSample* __restrict in, MatrixBus* __restrict bus,
                                StereoSample* __restrict reference, size_t frames) noexcept {
  // The Hilbert outputs, each with its frames side by side so that later passes load four
  // frames at once; the lanes past the block's end are zero.
  alignas(16) std::array<float, kMaxStageBlock + 3> a0, a90, b0, b90;

  // Lanes: left chain A, left chain B, right chain A, right chain B.
  std::array<Float4, HilbertPair::kSections> x1, x2, y1, y2, coef;
#pragma GCC unroll 4
  for (size_t k = 0; k < HilbertPair::kSections; ++k) {
    const HilbertPair::Section& l = hilbert_left_.sections_[k];
    const HilbertPair::Section& r = hilbert_right_.sections_[k];
    x1[k] = Join(l.x1, r.x1);
    x2[k] = Join(l.x2, r.x2);
    y1[k] = Join(l.y1, r.y1);
    y2[k] = Join(l.y2, r.y2);
    coef[k] = Float4{kChainA[k], kChainB[k], kChainA[k], kChainB[k]};
  }
  float previous_left = hilbert_left_.previous_a_;
  float previous_right = hilbert_right_.previous_a_;
  for (size_t i = 0; i < frames; ++i) {
    Float4 x = {in[i].left, in[i].left, in[i].right, in[i].right};
#pragma GCC unroll 4
    for (size_t k = 0; k < HilbertPair::kSections; ++k) {
      x = HilbertPair::Step(x1[k], x2[k], y1[k], y2[k], coef[k], x);
    }
    a0[i] = previous_left;
    a90[i] = x[1];
    b0[i] = previous_right;
    b90[i] = x[3];
    reference[i] = {previous_left, previous_right};
    previous_left = x[0];
    previous_right = x[2];
  }
#pragma GCC unroll 4
  for (size_t k = 0; k < HilbertPair::kSections; ++k) {
    HilbertPair::Section& l = hilbert_left_.sections_[k];
    HilbertPair::Section& r = hilbert_right_.sections_[k];
    Split(x1[k], l.x1, r.x1);
    Split(x2[k], l.x2, r.x2);
    Split(y1[k], l.y1, r.y1);
    Split(y2[k], l.y2, r.y2);
  }
  hilbert_left_.previous_a_ = previous_left;
  hilbert_right_.previous_a_ = previous_right;
  for (size_t i = frames; i < frames + 3; ++i) a0[i] = a90[i] = b0[i] = b90[i] = 0.0f;

  // Envelopes of the servo's probe: front left, front right, centre and the first surround. The
  // probes are formed four frames at a time, then turned into one vector per frame.
  std::array<Float4, kMaxStageBlock> envelopes;
  const Float4 attack = {servo_.attack, servo_.attack, servo_.attack, servo_.attack};
  const Float4 release = {servo_.release, servo_.release, servo_.release, servo_.release};
  Float4 env = {servo_.env_left, servo_.env_right, servo_.env_centre, servo_.env_surround};
  for (size_t i = 0; i < frames; i += 4) {
    const Quadrature<Float4> lanes = QuadratureAt(a0.data(), a90.data(), b0.data(), b90.data(), i);
    Float4 probe[4] = {lanes.a0, lanes.b0, lanes.centre, SurroundLeftOf(lanes.a90, lanes.b90)};
    Transpose4x4(probe);
    const size_t n = std::min<size_t>(4, frames - i);
    for (size_t k = 0; k < n; ++k) {
      env = Follow(env, probe[k], attack, release);
      envelopes[i + k] = env;
    }
  }
  servo_.env_left = env[0];
  servo_.env_right = env[1];
  servo_.env_centre = env[2];
  servo_.env_surround = env[3];

  // Two frames' two ratios at a time: {left/right, centre/surround} of frame i, then of i + 1.
  std::array<Float4, kMaxStageBlock / 2> ratios;
  for (size_t i = 0; i < frames; i += 2) {
    const Float4 now = envelopes[i];
    const Float4 next = i + 1 < frames ? envelopes[i + 1] : now;
    ratios[i / 2] = RatioDbOf(__builtin_shuffle(now, next, Int4{0, 2, 4, 6}),
                              __builtin_shuffle(now, next, Int4{1, 3, 5, 7}));
  }

  // The servo's recursions frame by frame; the weights and buses, which need only each frame's
  // dominance, four frames at a time (lanes past the block's end are computed and dropped).
  std::array<float, kMaxStageBlock + 3> lr_steer{}, front_back{}, lr_position{};
  for (size_t i = 0; i < frames; ++i) {
    const Float4& r = ratios[i / 2];
    const DominanceServo::Dominance d = servo_.Settle(r[2 * (i % 2)], r[2 * (i % 2) + 1]);
    lr_steer[i] = d.lr_steer;
    front_back[i] = d.front_back;
    lr_position[i] = d.lr_position;
  }
  for (size_t i = 0; i < frames; i += 4) {
    const Weights<Float4> w = WeightsOf(Load4(&lr_steer[i]), Load4(&front_back[i]),
                                        Load4(&lr_position[i]));
    const Quadrature<Float4> lanes = QuadratureAt(a0.data(), a90.data(), b0.data(), b90.data(), i);
    const Bus<Float4> b = SteerBus(w, centre_width_, panorama_, lanes);
    const size_t n = std::min<size_t>(4, frames - i);
    if (n == 4) {
      StoreBuses(b, bus + i);
    } else {
      for (size_t k = 0; k < n; ++k) bus[i + k] = BusLane(b, k);
    }
  }
  if (frames > 0) {
    const size_t last = frames - 1;
    SetWeights({lr_steer[last], front_back[last], lr_position[last]});
  }
  if (frames > 0) reference_ = reference[frames - 1];
}

}  // namespace halvex
