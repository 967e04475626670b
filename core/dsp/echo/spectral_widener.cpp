#include "core/dsp/echo/spectral_widener.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/dsp/kit/isa_level.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/portable_math.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {

namespace {

// Bins 4..340: 187.5 Hz to 15937.5 Hz; below and above, moving sound apart only smears it.
constexpr size_t kFirstBin = 4;
constexpr size_t kEndBin = 341;
constexpr float kSmoothing = 0.3f;  // per transform frame, i.e. per 256 input frames
constexpr float kSilentMagnitude = 1e-6f;
constexpr float kMaxGain = 4.0f;
constexpr float kCentreF = std::numbers::pi_v<float> / 4.0f;
// The centre as the angles store it, so a centred (mono) bin computes gains of exactly 1.
constexpr double kCentre = kCentreF;
constexpr float kHalfPiF = std::numbers::pi_v<float> / 2.0f;

// The angle of (x, y) for x, y >= 0 and x > 0, in [0, pi/2]: the octant below the diagonal
// is folded onto [0, pi/4], and [tan(pi/8), 1] onto [-tan(pi/8), 0] by the difference formula,
// where a short odd polynomial (the classic single-precision arctangent fit) is good to an
// ulp or two. Equal arguments give exactly the float centre.
template <typename F>
__attribute__((always_inline)) inline F AngleOf(F y, F x) {
  const auto steep = y > x;
  const F t = steep ? x / y : y / x;
  const auto upper = t > 0.41421356f;
  const F r = upper ? (t - 1.0f) / (t + 1.0f) : t;
  const F z = r * r;
  const F a = (((8.05374449538e-2f * z - 1.38776856032e-1f) * z + 1.99777106478e-1f) * z -
               3.33329491539e-1f) *
                  z * r +
              r;
  const F folded = upper ? kCentreF + a : a;
  return steep ? kHalfPiF - folded : folded;
}

// The templates below are always inlined, into the AVX2 build for the vectors: no 256-bit
// vector is ever passed in a call, so the warning about how one would be is moot. Ignored to
// the end of the file, where GCC reports it for the template instances.
#pragma GCC diagnostic ignored "-Wpsabi"
template <typename T>
__attribute__((always_inline)) inline T Clamp(T v, T lo, T hi) {
  return v < lo ? lo : (hi < v ? hi : v);
}

// What one bin, or four side by side, needs and gives: F is float or Float4, D double or
// Double4. Every lane runs the scalar steps in the scalar order.
template <typename F, typename D, typename ToDouble, typename ToFloat, typename SqrtF,
          typename SqrtD>
struct BinMath {
  __attribute__((always_inline)) static void Steer(float expand, const F lr, const F li, const F rr, const F ri, F& angle,
                    F& power_left, F& power_right, F& cross_re, F& cross_im, F& gain_left,
                    F& gain_right) noexcept {
    const F energy_left = lr * lr + li * li;
    const F energy_right = rr * rr + ri * ri;
    const F mag_left = SqrtF{}(energy_left);
    const F mag_right = SqrtF{}(energy_right);
    const F theta = AngleOf<F>(mag_right, mag_left + 1e-12f);
    angle = mag_left + mag_right > kSilentMagnitude ? angle + kSmoothing * (theta - angle) : angle;
    // L * conj(R)
    const F xr = lr * rr + li * ri;
    const F xi = li * rr - lr * ri;
    power_left = power_left + kSmoothing * (energy_left - power_left);
    power_right = power_right + kSmoothing * (energy_right - power_right);
    cross_re = cross_re + kSmoothing * (xr - cross_re);
    cross_im = cross_im + kSmoothing * (xi - cross_im);

    // The new angle in double: an unmoved bin gets back exactly its old angle, so its gains
    // below divide equal numbers and are exactly 1. The cosines are sines of the complement
    // taken in double, so both keep their relative accuracy near the ends of the quadrant.
    const D cr = ToDouble{}(cross_re);
    const D ci = ToDouble{}(cross_im);
    const D pl = ToDouble{}(power_left);
    const D pr = ToDouble{}(power_right);
    const D zero = D{} + 0.0;
    const D c = Clamp<D>(SqrtD{}(cr * cr + ci * ci) / (SqrtD{}(pl * pr) + 1e-12), zero, zero + 1.0);
    const D a = ToDouble{}(angle);
    const D phi = Clamp<D>(
        kCentre + (a - kCentre) * (1.0 + 2.0 * static_cast<double>(expand) * c * c), zero,
        zero + std::numbers::pi / 2.0);
    constexpr double kHalfPi = std::numbers::pi / 2.0;
    const F cos_phi = PortableSinHalfTurn<F>(ToFloat{}(kHalfPi - phi));
    const F sin_phi = PortableSinHalfTurn<F>(ToFloat{}(phi));
    const F cos_a = PortableSinHalfTurn<F>(ToFloat{}(kHalfPi - a));
    const F sin_a = PortableSinHalfTurn<F>(ToFloat{}(a));
    const F fzero = F{} + 0.0f;
    gain_left = Clamp<F>(cos_phi / (cos_a + 1e-12f), fzero, fzero + kMaxGain);
    gain_right = Clamp<F>(sin_phi / (sin_a + 1e-12f), fzero, fzero + kMaxGain);
  }
};

struct ScalarToDouble {
  double operator()(float v) const { return v; }
};
struct ScalarToFloat {
  float operator()(double v) const { return static_cast<float>(v); }
};
struct ScalarSqrtF {
  float operator()(float v) const { return std::sqrt(v); }
};
struct ScalarSqrtD {
  double operator()(double v) const { return std::sqrt(v); }
};
using ScalarBin = BinMath<float, double, ScalarToDouble, ScalarToFloat, ScalarSqrtF, ScalarSqrtD>;

// Steers bin k alone.
void SteerOne(SpectralWidener& st, const StereoSpectrum& s, size_t k) noexcept {
  ScalarBin::Steer(st.expand, s.left_re[k], s.left_im[k], s.right_re[k], s.right_im[k],
                   st.angle[k], st.power_left[k], st.power_right[k], st.cross_re[k],
                   st.cross_im[k], st.gain_left[k], st.gain_right[k]);
}

// Bins first to end - 1 one at a time.
void SteerScalar(SpectralWidener& st, const StereoSpectrum& s, size_t first, size_t end) noexcept {
  for (size_t k = first; k < end; ++k) SteerOne(st, s, k);
}

// Four bins at a time, the rest one at a time: the same bits as SteerScalar, lane for lane.
// The helpers use only baseline instructions and are always inlined, so in the AVX2 build
// below the doubles fill 256-bit registers; no vector ever crosses a call (hence no psABI
// concern about passing 256-bit vectors).
struct VectorToDouble {
  __attribute__((always_inline)) Double4 operator()(Float4 v) const {
    return __builtin_convertvector(v, Double4);
  }
};
struct VectorToFloat {
  __attribute__((always_inline)) Float4 operator()(Double4 v) const {
    return __builtin_convertvector(v, Float4);
  }
};
struct VectorSqrtF {
  __attribute__((always_inline)) Float4 operator()(Float4 v) const { return _mm_sqrt_ps(v); }
};
struct VectorSqrtD {
  __attribute__((always_inline)) Double4 operator()(Double4 v) const {
    using Double2 = double __attribute__((vector_size(2 * sizeof(double))));
    const Double2 lo = _mm_sqrt_pd(Double2{v[0], v[1]});
    const Double2 hi = _mm_sqrt_pd(Double2{v[2], v[3]});
    return Double4{lo[0], lo[1], hi[0], hi[1]};
  }
};
using VectorBin = BinMath<Float4, Double4, VectorToDouble, VectorToFloat, VectorSqrtF, VectorSqrtD>;

__attribute__((target("arch=x86-64-v3"))) void SteerVectorV3(SpectralWidener& st,
                                                             const StereoSpectrum& s,
                                                             size_t first, size_t end) noexcept {
  auto at = [](auto& array, size_t k) -> Float4Unaligned& {
    return *reinterpret_cast<Float4Unaligned*>(array.data() + k);
  };
  auto in = [](const auto& array, size_t k) -> Float4 {
    return *reinterpret_cast<const Float4Unaligned*>(array.data() + k);
  };
  size_t k = first;
  for (; k + 4 <= end; k += 4) {
    Float4 angle = at(st.angle, k);
    Float4 power_left = at(st.power_left, k);
    Float4 power_right = at(st.power_right, k);
    Float4 cross_re = at(st.cross_re, k);
    Float4 cross_im = at(st.cross_im, k);
    Float4 gain_left;
    Float4 gain_right;
    VectorBin::Steer(st.expand, in(s.left_re, k), in(s.left_im, k), in(s.right_re, k),
                     in(s.right_im, k), angle, power_left, power_right, cross_re, cross_im,
                     gain_left, gain_right);
    at(st.angle, k) = angle;
    at(st.power_left, k) = power_left;
    at(st.power_right, k) = power_right;
    at(st.cross_re, k) = cross_re;
    at(st.cross_im, k) = cross_im;
    at(st.gain_left, k) = gain_left;
    at(st.gain_right, k) = gain_right;
  }
  SteerScalar(st, s, k, end);
}

using SteerFn = void (*)(SpectralWidener&, const StereoSpectrum&, size_t, size_t) noexcept;
const SteerFn SteerBest =
    PickBuild<SteerFn>(BestSplitLevel(), SteerScalar, SteerVectorV3, SteerVectorV3);

}  // namespace

void SpectralWidener::Configure(float expand_amount) {
  expand = expand_amount;
  engine.Configure();
  Reset();
}

void SpectralWidener::Reset() {
  engine.Reset();
  angle.fill(kCentreF);
  power_left.fill(0.0f);
  power_right.fill(0.0f);
  cross_re.fill(0.0f);
  cross_im.fill(0.0f);
  gain_left.fill(1.0f);
  gain_right.fill(1.0f);
}

StereoSample SpectralWidener::Process(float left, float right) noexcept {
  return engine.Process(left, right, *this);
}

void SpectralWidener::Apply(StereoSpectrum& spectrum) { SteerBins(spectrum); }

void SpectralWidener::ApplyOneBinAtATime(StereoSpectrum& spectrum) {
  SteerScalar(*this, spectrum, kFirstBin, kEndBin);
  ScaleBins(spectrum);
}

void SpectralWidener::SteerBins(StereoSpectrum& s) noexcept {
  SteerBest(*this, s, kFirstBin, kEndBin);
  ScaleBins(s);
}

// Cloned so the vectors are whole AVX2 registers; every step is per bin (each lane does the
// scalar step), so every build gives the same bits.
HALVEX_FMA_CLONES void SpectralWidener::ScaleBins(StereoSpectrum& s) noexcept {
  constexpr size_t kCount = kEndBin - kFirstBin;
  constexpr size_t kLanes = 8;
  // The raw gains from bin kFirstBin - 1 on, the neighbours outside the range counted as 1.
  std::array<float, kCount + 2> raw_left;
  std::array<float, kCount + 2> raw_right;
  raw_left.front() = raw_left.back() = 1.0f;
  raw_right.front() = raw_right.back() = 1.0f;
  std::copy(gain_left.begin() + kFirstBin, gain_left.begin() + kEndBin, raw_left.begin() + 1);
  std::copy(gain_right.begin() + kFirstBin, gain_right.begin() + kEndBin, raw_right.begin() + 1);
  auto scale = [](float* p, Float8 f) { HALVEX_STORE8(p, HALVEX_LOAD8(p) * f); };
  // Bins k to k + 7 and their mirrors 1024 - k - 7 to 1024 - k (lanes reversed): scaling by a
  // real factor keeps the conjugate.
  size_t i = 0;
  for (; i + kLanes <= kCount; i += kLanes) {
    const Float8 fl = (HALVEX_LOAD8(&raw_left[i]) + HALVEX_LOAD8(&raw_left[i + 1]) + HALVEX_LOAD8(&raw_left[i + 2])) / 3.0f;
    const Float8 fr =
        (HALVEX_LOAD8(&raw_right[i]) + HALVEX_LOAD8(&raw_right[i + 1]) + HALVEX_LOAD8(&raw_right[i + 2])) / 3.0f;
    const size_t k = kFirstBin + i;
    scale(&s.left_re[k], fl);
    scale(&s.left_im[k], fl);
    scale(&s.right_re[k], fr);
    scale(&s.right_im[k], fr);
    const Float8 ml = __builtin_shufflevector(fl, fl, 7, 6, 5, 4, 3, 2, 1, 0);
    const Float8 mr = __builtin_shufflevector(fr, fr, 7, 6, 5, 4, 3, 2, 1, 0);
    const size_t m = kFftSize - k - (kLanes - 1);
    scale(&s.left_re[m], ml);
    scale(&s.left_im[m], ml);
    scale(&s.right_re[m], mr);
    scale(&s.right_im[m], mr);
  }
  for (; i < kCount; ++i) {
    const float fl = (raw_left[i] + raw_left[i + 1] + raw_left[i + 2]) / 3.0f;
    const float fr = (raw_right[i] + raw_right[i + 1] + raw_right[i + 2]) / 3.0f;
    const size_t k = kFirstBin + i;
    const size_t m = kFftSize - k;
    s.left_re[k] *= fl;
    s.left_im[k] *= fl;
    s.left_re[m] *= fl;
    s.left_im[m] *= fl;
    s.right_re[k] *= fr;
    s.right_im[k] *= fr;
    s.right_re[m] *= fr;
    s.right_im[m] *= fr;
  }
}

}  // namespace halvex
