#include "core/dsp/matrix/matrix_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "core/dsp/filters/biquad.h"
#include "core/dsp/kit/denormal_guard.h"
#include "tests/support/test_signals.h"

namespace halvex {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;

float Sine(double hz, size_t n) { return static_cast<float>(std::sin(2.0 * kPi * hz * n / kRate)); }

double Rms(const std::vector<float>& x, size_t from) {
  double sum = 0.0;
  for (size_t i = from; i < x.size(); ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(x.size() - from));
}

TEST(PassiveMatrix, SurroundIsTheBandLimitedDifference) {
  DenormalGuard guard;
  PassiveMatrix m;
  m.Configure();
  // A centred (mono) signal has no difference, so nothing reaches the surround.
  for (size_t n = 0; n < 4800; ++n) {
    const float x = Sine(440.0, n);
    const MatrixBus bus = m.Decode(x, x);
    ASSERT_EQ(bus.surround_left, 0.0f);
    ASSERT_EQ(bus.cancel_right, 0.0f);
    ASSERT_EQ(bus.left, x);
  }
  // Antiphase input: s = (l - r) / sqrt 2 = sqrt 2 sin, shaped by fourth-order Butterworth
  // edges at 100 Hz and 7 kHz (-3.01 dB there, far down an octave or two outside).
  struct Point {
    double hz;
    double db;
    double tolerance;
  };
  for (const Point p : {Point{1000.0, 0.0, 0.05}, Point{100.0, -3.01, 0.1},
                        Point{7000.0, -3.01, 0.1}, Point{25.0, -48.2, 1.0}}) {
    m.Reset();
    std::vector<float> surround;
    for (size_t n = 0; n < 96000; ++n) {
      const float x = Sine(p.hz, n);
      const MatrixBus bus = m.Decode(x, -x);
      EXPECT_EQ(bus.surround_right, bus.surround_left);
      EXPECT_EQ(bus.cancel_right, -bus.cancel_left);
      surround.push_back(bus.surround_left);
    }
    const double gain_db = 20.0 * std::log10(Rms(surround, 48000) / 1.0);  // sqrt2 * (1/sqrt2)
    EXPECT_NEAR(gain_db, p.db, p.tolerance) << p.hz << " Hz";
  }
}

TEST(HilbertPair, OutputsAreEqualLevelAndInQuadratureAcrossTheBand) {
  DenormalGuard guard;
  for (const double hz : {40.0, 200.0, 1000.0, 5000.0, 12000.0, 18000.0}) {
    HilbertPair pair;
    double rr = 0.0, qq = 0.0, rq = 0.0, xx = 0.0;
    for (size_t n = 0; n < 48000; ++n) {
      const float x = Sine(hz, n);
      const HilbertPair::Output out = pair.Process(x);
      if (n < 24000) continue;  // let the 40 Hz poles settle
      rr += static_cast<double>(out.reference) * out.reference;
      qq += static_cast<double>(out.quadrature) * out.quadrature;
      rq += static_cast<double>(out.reference) * out.quadrature;
      xx += static_cast<double>(x) * x;
    }
    // Allpass chains: both copies keep the input level.
    EXPECT_NEAR(rr / xx, 1.0, 0.01) << hz;
    EXPECT_NEAR(qq / xx, 1.0, 0.01) << hz;
    // Normalised correlation is the cosine of the phase difference: within 2 degrees of 90.
    EXPECT_LT(std::fabs(rq / std::sqrt(rr * qq)), std::sin(2.0 * kPi / 180.0)) << hz;
  }
}

TEST(HilbertPair, ReferenceIsOneFrameLateAndResetClearsState) {
  HilbertPair pair;
  const HilbertPair::Output first = pair.Process(1.0f);
  EXPECT_EQ(first.reference, 0.0f);
  EXPECT_NE(first.quadrature, 0.0f);
  EXPECT_NE(pair.Process(0.0f).reference, 0.0f);
  pair.Reset();
  const HilbertPair::Output again = pair.Process(1.0f);
  EXPECT_EQ(again.reference, first.reference);
  EXPECT_EQ(again.quadrature, first.quadrature);
}

MatrixBus Bus(float left, float right, float centre, float surround) {
  MatrixBus bus;
  bus.left = left;
  bus.right = right;
  bus.centre = centre;
  bus.surround_left = surround;
  return bus;
}

TEST(DominanceServo, EveryDominanceValueIsSlewLimited) {
  DominanceServo servo;
  servo.SetRates();
  // A hard-left signal pins the left/right ratio at +45 dB at once; the position follows by
  // exactly 1/32 dB per frame.
  for (int n = 1; n <= 1500; ++n) {
    const DominanceServo::Dominance d = servo.Update(Bus(1.0f, 0.0f, 0.0f, 0.0f));
    ASSERT_EQ(d.lr_position, std::min(n / 32.0f, 45.0f)) << n;
    ASSERT_LE(d.lr_steer, n / 32.0f);
    ASSERT_EQ(d.front_back, 0.0f);
  }
  // Envelopes rise fast (time constant about 8 ms) and fall slowly (about 220 ms).
  const double risen = 1.0 - std::pow(1.0 - 0.0026007891, 1500.0);
  EXPECT_NEAR(servo.env_left, risen, 1e-3);
  for (int n = 0; n < 2000; ++n) servo.Update(MatrixBus{});
  EXPECT_NEAR(servo.env_left, risen * std::pow(1.0 - 9.4711780e-05, 2000.0), 1e-3);

  // Abrupt switches between extreme buses never move any value faster than the limit.
  DominanceServo::Dominance last{servo.lr_steer, servo.front_back, servo.lr_position};
  const MatrixBus buses[] = {Bus(0.0f, 1.0f, 0.0f, 0.0f), Bus(0.0f, 0.0f, 1.0f, 0.0f),
                             Bus(0.0f, 0.0f, 0.0f, 1.0f), Bus(1.0f, 0.0f, 0.0f, 1e-6f)};
  // (1e-5: one rounding of a value near 45 dB.)
  for (const MatrixBus& bus : buses) {
    for (int n = 0; n < 3000; ++n) {
      const DominanceServo::Dominance d = servo.Update(bus);
      ASSERT_LE(std::fabs(d.lr_steer - last.lr_steer), DominanceServo::kSlewDb + 1e-5f);
      ASSERT_LE(std::fabs(d.front_back - last.front_back), DominanceServo::kSlewDb + 1e-5f);
      ASSERT_LE(std::fabs(d.lr_position - last.lr_position), DominanceServo::kSlewDb + 1e-5f);
      ASSERT_LE(std::fabs(d.lr_position), 45.0f);
      last = d;
    }
  }
  // The centre-only segment drove front/back well positive, the surround-only one back down.
  EXPECT_LT(last.front_back, 0.0f);
}

// The left/right dominance is read through an average that follows at once (rate 1), with
// envelopes held still (each fed its own value): it must be the dB ratio of the envelopes as the
// library's log10 gives it, also where a side is silent, the ratio leaves the float range or
// both sides are silent.
TEST(DominanceServo, DominanceIsTheDecibelRatioOfTheEnvelopes) {
  constexpr float kTiny = 1e-12f;
  const auto expected = [](float x, float y) {
    if (x < kTiny && y < kTiny) return 0.0f;
    return std::clamp(Db((x + kTiny) / (y + kTiny)), -45.0f, 45.0f);
  };
  std::vector<std::pair<float, float>> cases = {
      {0.0f, 0.0f},   {1.0f, 0.0f},    {0.0f, 1.0f},
      {1e-13f, 0.0f}, {1e30f, 0.0f},   {0.0f, 1e30f},
      {1.0f, 1.0f},   {10.0f, 1.0f},   {3e38f, 1e-30f},
      {0.5f, 0.25f},  {2e-12f, 1e-12f}, {std::numeric_limits<float>::max(), 0.0f}};
  // Envelopes from 1e-15 to 1e3, log-uniform.
  uint32_t seed = 5;
  const auto next = [&seed] {
    seed = test::LcgStep(seed);
    return std::pow(10.0f, 9.0f * test::UniformFrom(seed) - 6.0f);
  };
  for (int n = 0; n < 200000; ++n) cases.emplace_back(next(), next());

  DominanceServo servo;
  servo.SetRates();
  servo.average_rate = 1.0f;
  for (const auto& [x, y] : cases) {
    servo.Clear();
    servo.env_left = x;
    servo.env_right = y;
    MatrixBus bus;
    bus.left = x;
    bus.right = y;
    servo.Update(bus);
    ASSERT_EQ(servo.env_left, x);
    ASSERT_EQ(servo.lr_average, expected(x, y)) << x << " " << y;
  }
}

// Feeds one bus shape for a few seconds of frames.
void Drive(SteeredMatrix& m, const MatrixBus& bus, int frames) {
  for (int n = 0; n < frames; ++n) m.UpdateWeights(bus);
}

TEST(SteeredMatrix, WeightsStayOffWithin3DbAndSteerBeyondIt) {
  ProcessorConfig config = DefaultConfig();
  SteeredMatrix m;
  m.Configure(config);
  // Centre 1.9 dB above surround, fronts balanced: nothing is steered.
  Drive(m, Bus(0.5f, 0.5f, 1.0f, 0.8f), 20000);
  EXPECT_GT(m.servo().front_back, 1.0f);
  EXPECT_LT(m.servo().front_back, 3.0f);
  EXPECT_EQ(m.w_front(), 0.0f);
  EXPECT_EQ(m.w_rear_left(), 0.0f);
  EXPECT_EQ(m.w_rear_right(), 0.0f);
  EXPECT_EQ(m.w_left(), 0.0f);
  EXPECT_EQ(m.w_right(), 0.0f);

  // Centre 20 dB up: full front weight (15 dB and more gives 1).
  m.Reset();
  Drive(m, Bus(0.5f, 0.5f, 1.0f, 0.1f), 20000);
  EXPECT_EQ(m.w_front(), 1.0f);
  EXPECT_EQ(m.w_rear_left(), 0.0f);

  // Surround 9 dB up with balanced fronts: rear weight (9 - 3) / 12 = 0.5, split evenly.
  m.Reset();
  const float surround = std::pow(10.0f, 9.0f / 20.0f);
  Drive(m, Bus(0.5f, 0.5f, 1.0f, surround), 40000);
  EXPECT_NEAR(m.w_rear_left(), 0.25f, 0.002f);
  EXPECT_NEAR(m.w_rear_right(), 0.25f, 0.002f);
  EXPECT_EQ(m.w_front(), 0.0f);

  // Left 9 dB above right: the steering dominance is the ratio less its slow average (which
  // has only crept part of the way up), so the left weight is a little under (9 - 3) / 12.
  m.Reset();
  Drive(m, Bus(1.0f, 1.0f / surround, 0.0f, 0.0f), 20000);
  const float average = m.servo().lr_average;
  EXPECT_GT(average, 0.5f);
  EXPECT_LT(average, 3.0f);
  EXPECT_NEAR(m.servo().lr_position, 9.0f, 0.01f);
  EXPECT_NEAR(m.w_left(), (9.0f - average - 3.0f) / 12.0f, 0.002f);
  EXPECT_EQ(m.w_right(), 0.0f);
}

TEST(SteeredMatrix, RearsWithoutSteeringAreThePlainMatrixRears) {
  SteeredMatrix m;
  m.Configure(DefaultConfig());
  // All weights 0: the rears are sqrt(2/3) a - b/sqrt 3 and a/sqrt 3 - sqrt(2/3) b.
  const auto [first, second] = m.Rears(1.0f, 0.0f);
  EXPECT_NEAR(first, 0.81649655f, 1e-7f);
  EXPECT_NEAR(second, 0.57735026f, 1e-7f);
  const auto [mono_first, mono_second] = m.Rears(1.0f, 1.0f);
  EXPECT_NEAR(mono_first, 0.81649655f - 0.57735026f, 1e-7f);
  EXPECT_NEAR(mono_second, -(0.81649655f - 0.57735026f), 1e-7f);
}

TEST(SteeredMatrix, CentreLeakIsRemovedFromTheRearsWhenTheFrontDominates) {
  ProcessorConfig config = DefaultConfig();
  config.centre_width = 0.0f;
  SteeredMatrix m;
  m.Configure(config);
  Drive(m, Bus(0.5f, 0.5f, 1.0f, 0.01f), 20000);
  ASSERT_EQ(m.w_front(), 1.0f);
  // With full front weight and no centre width, a centred pair leaves nothing in the rears.
  const auto [first, second] = m.Rears(1.0f, 1.0f);
  EXPECT_NEAR(first, 0.0f, 1e-6f);
  EXPECT_NEAR(second, 0.0f, 1e-6f);
}

}  // namespace
}  // namespace halvex
