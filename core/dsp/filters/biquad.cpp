#include "core/dsp/filters/biquad.h"

#include <cmath>
#include <complex>

#include "core/dsp/kit/engine_rate.h"

namespace halvex {
namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kSqrt2 = 1.4142135f;

struct Angle {
  float s;
  float c;
};

Angle AngleOf(float hz) {
  const float w0 = hz * kTwoPi / kEngineRateF;
  Angle a{};
  ::sincosf(w0, &a.s, &a.c);
  return a;
}

// The terms the two shelves share (shelf slope 1).
struct Shelf {
  Angle a;
  float A;   // amplitude: 10^(gain / 40)
  float k;   // 2 sqrt(A) alpha
  float ap;  // A + 1
  float am;  // A - 1
};

Shelf ShelfOf(float hz, float gain_db) {
  const Angle a = AngleOf(hz);
  const float A = std::pow(10.0f, gain_db / 40.0f);
  const float alpha = 0.5f * a.s * kSqrt2;
  return {a, A, 2.0f * std::sqrt(A) * alpha, A + 1.0f, A - 1.0f};
}

void Store(Biquad& q, float b0, float b1, float b2, float a0, float a1, float a2) {
  q.b0 = b0 / a0;
  q.b1 = b1 / a0;
  q.b2 = b2 / a0;
  q.a1 = a1 / a0;
  q.a2 = a2 / a0;
  q.Reset();
}

// Highpass with a given alpha (Butterworth is alpha = s / sqrt 2).
void StoreHighpass(Biquad& q, Angle a, float alpha) {
  const float one_plus_c = 1.0f + a.c;
  Store(q, one_plus_c / 2.0f, -one_plus_c, one_plus_c / 2.0f, 1.0f + alpha, -2.0f * a.c,
        1.0f - alpha);
}

}  // namespace

void Biquad::SetButterworthHighpass(float hz) {
  const Angle a = AngleOf(hz);
  StoreHighpass(*this, a, a.s / kSqrt2);
}

void Biquad::SetHighpass(float hz, float q) {
  const Angle a = AngleOf(hz);
  StoreHighpass(*this, a, a.s / (2.0f * q));
}

void Biquad::SetLowpass(float hz, float q) {
  const Angle a = AngleOf(hz);
  const float alpha = a.s / (2.0f * q);
  const float one_minus_c = 1.0f - a.c;
  Store(*this, one_minus_c / 2.0f, one_minus_c, one_minus_c / 2.0f, 1.0f + alpha, -2.0f * a.c,
        1.0f - alpha);
}

void Biquad::SetHighShelf(float hz, float gain_db) {
  const auto [a, A, k, ap, am] = ShelfOf(hz, gain_db);
  Store(*this, A * (ap + am * a.c + k), -2.0f * A * (am + ap * a.c), A * (ap + am * a.c - k),
        ap - am * a.c + k, 2.0f * (am - ap * a.c), ap - am * a.c - k);
}

void Biquad::SetLowShelf(float hz, float gain_db) {
  const auto [a, A, k, ap, am] = ShelfOf(hz, gain_db);
  Store(*this, A * (ap - am * a.c + k), 2.0f * A * (am - ap * a.c), A * (ap - am * a.c - k),
        ap + am * a.c + k, -2.0f * (am + ap * a.c), ap + am * a.c - k);
}

void Biquad::SetPeaking(float hz, float gain_db, float bandwidth_octaves) {
  const Angle a = AngleOf(hz);
  const float p = std::pow(2.0f, bandwidth_octaves);
  const float alpha = a.s / (2.0f * std::sqrt(p) / (p - 1.0f));
  const float A = std::pow(10.0f, gain_db / 40.0f);
  Store(*this, 1.0f + alpha * A, -2.0f * a.c, 1.0f - alpha * A, 1.0f + alpha / A, -2.0f * a.c,
        1.0f - alpha / A);
}

float Biquad::MagnitudeAt(float hz) const {
  // The float 2 pi of the designs, widened: the response is of what was designed.
  const double w = static_cast<double>(hz) * static_cast<double>(kTwoPi) / kEngineRateD;
  const std::complex<double> z1 = std::polar(1.0, -w);
  const std::complex<double> z2 = std::polar(1.0, -2.0 * w);
  const double num = std::abs(static_cast<double>(b0) + static_cast<double>(b1) * z1 +
                              static_cast<double>(b2) * z2);
  const double den =
      std::abs(1.0 + static_cast<double>(a1) * z1 + static_cast<double>(a2) * z2);
  if (!(den > 0.0)) return 0.0f;
  return static_cast<float>(num / den);
}

float Db(float linear) {
  return static_cast<float>(std::log10(static_cast<double>(linear))) * 20.0f;
}

}  // namespace halvex
