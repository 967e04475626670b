#include "core/dsp/experimental/ambient_render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/portable_math.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {
namespace {

constexpr float kHalfPi = 1.5707964f;
constexpr float kInvSqrt026 = 1.9611614f;  // makes each angle pattern's mean square 1
constexpr double kBandFloor = 1e-20;
constexpr float kBalanceSmoothing = 0.25f;
// Below this share of the log-frequency range a bin takes band 0's correction alone.
constexpr float kFirstBandOnly = 0.0625f;

float ClampAngle(float a) { return std::clamp(a, -kHalfPi, kHalfPi); }

// The fixed spectral tilt, in dB, at frequency f: a lift around 700 Hz, dips around 4.5 and
// 9 kHz.
float TiltDb(float f) {
  const float a = std::log2(f * (1.0f / 700.0f));
  const float b = std::log2(f * (1.0f / 9000.0f)) / 0.5f;
  const float c = std::log2(f * (1.0f / 4500.0f)) * 1.1111112f;
  return 1.0f * std::exp(-0.5f * a * a) - 1.5f * std::exp(-0.5f * b * b) -
         2.5f * std::exp(-0.5f * c * c);
}

// (1 + tanh(y)) / 2 as the logistic function 1 / (1 + e^(-2y)): the same value, for one
// exponential instead of tanh's costlier expm1 path; this runs twice per bin.
float HalfOnePlusTanh(float y) { return 1.0f / (1.0f + PortableExp(-2.0f * y)); }

constexpr size_t kLanes = 8;
using Int8Unaligned =
    int32_t __attribute__((vector_size(8 * sizeof(int32_t)), aligned(4), may_alias));

// Where lanes of a and b hold the same bits (so +0 and -0 differ); by reference, so no vector
// is passed by value where AVX is not enabled.
[[gnu::always_inline]] inline void SameBits(const Float8& a, const Float8& b, Int8& same) {
  Int8 x, y;
  std::memcpy(&x, &a, sizeof(x));
  std::memcpy(&y, &b, sizeof(y));
  same = x == y;
}

// Whether any lane of a mask is set.
[[gnu::always_inline]] inline bool Any(const Int8& mask) {
  uint64_t words[4];
  std::memcpy(words, &mask, sizeof(words));
  return (words[0] | words[1] | words[2] | words[3]) != 0;
}

// Bins k to k + 7 of the four arrays: left re, left im, right re, right im.
[[gnu::always_inline]] inline void LoadBins(const StereoSpectrum& s, size_t k, Float8 (&v)[4]) {
  v[0] = HALVEX_LOAD8(s.left_re.data() + k);
  v[1] = HALVEX_LOAD8(s.left_im.data() + k);
  v[2] = HALVEX_LOAD8(s.right_re.data() + k);
  v[3] = HALVEX_LOAD8(s.right_im.data() + k);
}

// The renderer's per-bin tables as RenderBins reads them.
struct BinTables {
  const float* rotation;
  const float* ambient_phase;
  const float* direct_phase;
  const float* direct_cos;  // PortableSinCos of direct_phase
  const float* direct_sin;
  const float* depth_eq;
};

// RenderOneBin over the bins [first, end), eight at a time: the arithmetic as vectors, lane by
// lane the scalar operations (selects stand in for its branches), and the same polynomial exp,
// sine and cosine on whole vectors, so every bin gets exactly the bits of RenderOneBin. Lanes
// past `end` keep their input. The mirror bins are left alone: ApplyBalance writes them.
// depth^y = e^(y ln depth) is 1 for every y when depth is 1, so it is not computed then; where
// the phase is the direct phase alone (no ambience) its cosine and sine come from the tables.
HALVEX_AVX512_CLONES
void RenderBins(StereoSpectrum& s, const AmbientSplit& split, const BinTables& tables,
                float log_depth, size_t first, size_t end) noexcept {
  const Int8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
  const Float8 zero = {};
  const Float8 one = zero + 1.0f;
  const Float8 half = zero + 0.5f;
  for (size_t k = first; k < end; k += kLanes) {
    const Float8 coherence = HALVEX_LOAD8(split.coherence_smooth.data() + k);
    const Float8 ambience = HALVEX_LOAD8(split.ambience_smooth.data() + k);
    const Float8 balance = HALVEX_LOAD8(split.balance_smooth.data() + k);
    const Float8 quadrature = HALVEX_LOAD8(split.quadrature_smooth.data() + k);
    const Float8 rot = HALVEX_LOAD8(tables.rotation + k);
    const Float8 amb = HALVEX_LOAD8(tables.ambient_phase + k);
    const Float8 direct = HALVEX_LOAD8(tables.direct_phase + k);
    // The lane loops below are skipped where no lane needs them (sqrt(+-0) is +-0).
    Float8 root = ambience;
    if (Any(ambience != 0.0f)) {
      for (size_t i = 0; i < kLanes; ++i) root[i] = std::sqrt(root[i]);
    }
    const Float8 x = root * (coherence < 0.5f ? 2.0f * coherence : one);
    const Int8 weighted = x != 0.0f;
    const Int8 rotates = weighted & (rot != 0.0f);
    const Int8 spreads = weighted & (amb != 0.0f);
    const Float8 y1 = 1.5f * rot * balance;
    const Float8 y2 = -1.5f * amb * quadrature;
    Float8 lean1 = half, lean2 = half;
    if (Any(rotates | spreads)) {
      Float8 e1, e2;
      PortableExp(-2.0f * y1, e1);
      PortableExp(-2.0f * y2, e2);
      lean1 = rotates ? 1.0f / (1.0f + e1) : half;
      lean2 = spreads ? 1.0f / (1.0f + e2) : half;
    }
    Float8 power = one;
    if (log_depth != 0.0f) PortableExp((ambience - 0.5f) * log_depth, power);
    const Float8 theta1 = x * rot * lean1;
    const Float8 theta2 = x * amb * lean2 + (1.0f - x) * direct;
    const Float8 g = (1.0f + (HALVEX_LOAD8(tables.depth_eq + k) - 1.0f) * ambience) * power;
    // cos(+-0) = 1 and sin(+-0) = +-0 exactly.
    Float8 c1 = one, s1 = theta1;
    Float8 c2 = HALVEX_LOAD8(tables.direct_cos + k);
    Float8 s2 = HALVEX_LOAD8(tables.direct_sin + k);
    // Compared as bits: the tables hold the functions of exactly these values, signed zeros too.
    Int8 tabled;
    SameBits(theta2, direct, tabled);
    if (Any(rotates)) {
      Float8 c, sn;
      PortableSinCos(theta1, sn, c);
      c1 = rotates ? c : c1;
      s1 = rotates ? sn : s1;
    }
    if (Any(~tabled)) {
      Float8 c, sn;
      PortableSinCos(theta2, sn, c);
      c2 = tabled ? c2 : c;
      s2 = tabled ? s2 : sn;
    }
    Float8 bins[4];
    LoadBins(s, k, bins);
    const auto& [lr, li, rr, ri] = bins;
    const Float8 ar = g * (lr * c1 + rr * s1);
    const Float8 ai = g * (li * c1 + ri * s1);
    const Float8 br = g * (rr * c1 - lr * s1);
    const Float8 bi = g * (ri * c1 - li * s1);
    const Int8 inside = lane < static_cast<int32_t>(end - k);
    HALVEX_STORE8(s.left_re.data() + k, inside ? ar * c2 - ai * s2 : lr);
    HALVEX_STORE8(s.left_im.data() + k, inside ? ar * s2 + ai * c2 : li);
    HALVEX_STORE8(s.right_re.data() + k, inside ? br * c2 + bi * s2 : rr);
    HALVEX_STORE8(s.right_im.data() + k, inside ? bi * c2 - br * s2 : ri);
  }
}

// The band corrections as ApplyBands reads them: per band its values, the difference to the
// next band up (0 at the top), and the cosine and sine of its phase.
struct BandCorrection {
  std::array<float, kBalanceBands> gain_left, gain_right, phase;
  std::array<float, kBalanceBands> step_left, step_right, step_phase;
  std::array<float, kBalanceBands> phase_cos, phase_sin;
};

// ApplyBalance's work, eight bins at a time with the scalar operations lane by lane: bins
// [first, end) turned and scaled by their band's correction, interpolated from band `lower`
// toward the next by `t` (per bin). The band values are picked per lane by a shuffle. Where a
// bin's phase is its band's (t = 0) the cosine and sine come from the band. Mirrors are written
// as conjugates.
HALVEX_AVX512_CLONES
void ApplyBands(StereoSpectrum& s, const int32_t* lower, const float* t,
                const BandCorrection& bands, size_t first, size_t end) noexcept {
  const Float8 band_gl = HALVEX_LOAD8(bands.gain_left.data());
  const Float8 band_gr = HALVEX_LOAD8(bands.gain_right.data());
  const Float8 band_ph = HALVEX_LOAD8(bands.phase.data());
  const Float8 band_dl = HALVEX_LOAD8(bands.step_left.data());
  const Float8 band_dr = HALVEX_LOAD8(bands.step_right.data());
  const Float8 band_dp = HALVEX_LOAD8(bands.step_phase.data());
  const Float8 band_cos = HALVEX_LOAD8(bands.phase_cos.data());
  const Float8 band_sin = HALVEX_LOAD8(bands.phase_sin.data());
  const Int8 lane = {0, 1, 2, 3, 4, 5, 6, 7};
  for (size_t k = first; k < end; k += kLanes) {
    const Int8 j = *reinterpret_cast<const Int8Unaligned*>(lower + k);
    const Float8 tk = HALVEX_LOAD8(t + k);
    const Float8 gl = __builtin_shuffle(band_gl, j) + __builtin_shuffle(band_dl, j) * tk;
    const Float8 gr = __builtin_shuffle(band_gr, j) + __builtin_shuffle(band_dr, j) * tk;
    const Float8 own = __builtin_shuffle(band_ph, j);
    const Float8 phi = own + __builtin_shuffle(band_dp, j) * tk;
    // Compared as bits: the band's cosine and sine are those of exactly this value.
    Int8 tabled;
    SameBits(phi, own, tabled);
    Float8 c = __builtin_shuffle(band_cos, j);
    Float8 sn = __builtin_shuffle(band_sin, j);
    if (Any(~tabled)) {
      Float8 pc, ps;
      PortableSinCos(phi, ps, pc);
      c = tabled ? c : pc;
      sn = tabled ? sn : ps;
    }
    Float8 bins[4];
    LoadBins(s, k, bins);
    const auto& [lr0, li0, rr0, ri0] = bins;
    const Float8 lr = gl * lr0;
    const Float8 li = gl * li0;
    const Float8 rr = gr * rr0;
    const Float8 ri = gr * ri0;
    const Int8 inside = lane < static_cast<int32_t>(end - k);
    const Float8 out_lr = inside ? lr * c - li * sn : lr0;
    const Float8 out_li = inside ? lr * sn + li * c : li0;
    const Float8 out_rr = inside ? rr * c + ri * sn : rr0;
    const Float8 out_ri = inside ? ri * c - rr * sn : ri0;
    HALVEX_STORE8(s.left_re.data() + k, out_lr);
    HALVEX_STORE8(s.left_im.data() + k, out_li);
    HALVEX_STORE8(s.right_re.data() + k, out_rr);
    HALVEX_STORE8(s.right_im.data() + k, out_ri);
    // Bins 1024 - k - 7 .. 1024 - k, lanes reversed; a lane outside the range keeps its bin.
    const size_t m = kFftSize - k - (kLanes - 1);
    const Int8 mirror_inside = __builtin_shufflevector(inside, inside, 7, 6, 5, 4, 3, 2, 1, 0);
    HALVEX_STORE8(s.left_re.data() + m, mirror_inside ? HALVEX_REVERSE8(out_lr) : HALVEX_LOAD8(s.left_re.data() + m));
    HALVEX_STORE8(s.left_im.data() + m, mirror_inside ? HALVEX_REVERSE8(-out_li) : HALVEX_LOAD8(s.left_im.data() + m));
    HALVEX_STORE8(s.right_re.data() + m, mirror_inside ? HALVEX_REVERSE8(out_rr) : HALVEX_LOAD8(s.right_re.data() + m));
    HALVEX_STORE8(s.right_im.data() + m,
           mirror_inside ? HALVEX_REVERSE8(-out_ri) : HALVEX_LOAD8(s.right_im.data() + m));
  }
}

// Per band j, over its bins [begin[j], begin[j + 1]): |L|^2, |R|^2 and L conj(R), in double.
// The order of summation within a band is free: four bins run side by side in four partial
// sums, which are added at the end.
HALVEX_FMA_CLONES
void SumBandsOf(const StereoSpectrum& s, const size_t* begin, double* left, double* right,
                double* cross_re, double* cross_im) noexcept {
  for (size_t j = 0; j < kBalanceBands; ++j) {
    Double4 l = {}, r = {}, cre = {}, cim = {};
    size_t k = begin[j];
    const size_t end = begin[j + 1];
    for (; k + 4 <= end; k += 4) {
      const Double4 lr = __builtin_convertvector(HALVEX_LOAD4(s.left_re.data() + k), Double4);
      const Double4 li = __builtin_convertvector(HALVEX_LOAD4(s.left_im.data() + k), Double4);
      const Double4 rr = __builtin_convertvector(HALVEX_LOAD4(s.right_re.data() + k), Double4);
      const Double4 ri = __builtin_convertvector(HALVEX_LOAD4(s.right_im.data() + k), Double4);
      l += lr * lr + li * li;
      r += rr * rr + ri * ri;
      cre += lr * rr + li * ri;
      cim += li * rr - lr * ri;
    }
    for (; k < end; ++k) {
      const double lr = s.left_re[k];
      const double li = s.left_im[k];
      const double rr = s.right_re[k];
      const double ri = s.right_im[k];
      l[0] += lr * lr + li * li;
      r[0] += rr * rr + ri * ri;
      cre[0] += lr * rr + li * ri;
      cim[0] += li * rr - lr * ri;
    }
    left[j] = (l[0] + l[1]) + (l[2] + l[3]);
    right[j] = (r[0] + r[1]) + (r[2] + r[3]);
    cross_re[j] = (cre[0] + cre[1]) + (cre[2] + cre[3]);
    cross_im[j] = (cim[0] + cim[1]) + (cim[2] + cim[3]);
  }
}


}  // namespace

void AmbientRenderer::Configure(float spread, float depth, float direct, RenderTarget target) {
  const AmbientProfile& profile = target == RenderTarget::kHeadphones ? kHeadphones : kSpeakers;
  first_bin_ = profile.first_bin;
  end_bin_ = kRenderEndBin;
  log_depth_ = static_cast<float>(std::log(static_cast<double>(depth)));

  std::array<float, kFftBins> tilt{};
  for (size_t i = 0; i < kFftBins; ++i) {
    const float x = static_cast<float>(i);
    const float a =
        (0.6f * std::sin(0.48332196f * x) + 0.4f * std::sin(0.330694f * x + 1.7f)) * kInvSqrt026;
    const float b =
        (0.6f * std::sin(0.16981582f * x + 0.9f) + 0.4f * std::sin(0.11855067f * x + 2.4f)) *
        kInvSqrt026;
    rotation_angle_[i] = ClampAngle(profile.rotation_scale * spread * a);
    ambient_phase_[i] = ClampAngle(profile.phase_scale * spread * b);
    direct_phase_[i] = ClampAngle(profile.phase_scale * direct * b);
    PortableSinCos(direct_phase_[i], direct_sin_[i], direct_cos_[i]);
    const float f = static_cast<float>(i + 1) * kBinHz;
    tilt[i] = std::pow(10.0f, TiltDb(f) / 20.0f);
  }
  // Normalise the tilt to unit mean power over the rendered bins.
  size_t count = 0;
  double power = 0.0;
  for (size_t i = first_bin_; i < end_bin_; ++i) {
    ++count;
    power += static_cast<double>(tilt[i]) * static_cast<double>(tilt[i]);
  }
  const float r = count == 0 ? 1.0f : static_cast<float>(std::sqrt(count / power));
  for (size_t i = 0; i < kFftBins; ++i) {
    depth_eq_[i] = 1.0f + (r * tilt[i] - 1.0f) * spread * profile.eq_depth;
  }

  // Band layout: eight logarithmically spaced bands from first_bin to bin 340.
  band_begin_.fill(end_bin_);
  lerp_lower_.fill(0);
  lerp_t_.fill(0.0f);
  const float first = static_cast<float>(first_bin_);
  const float span = std::log2(static_cast<float>(end_bin_) / first);
  for (size_t k = first_bin_; k < end_bin_; ++k) {
    const float octave = std::log2(static_cast<float>(k) / first);
    const float band = std::floor(octave * static_cast<float>(kBalanceBands) / span);
    const size_t j = static_cast<size_t>(std::min(band, static_cast<float>(kBalanceBands - 1)));
    // The band index never falls as k rises: record where each band starts.
    for (size_t i = 0; i <= j; ++i) band_begin_[i] = std::min(band_begin_[i], k);
    const float u = octave / span;
    if (u < kFirstBandOnly) continue;  // band 0 alone
    const float p = std::min(8.0f * u - 0.5f, static_cast<float>(kBalanceBands - 1));
    const float j0 = std::floor(p);
    const size_t lower = static_cast<size_t>(j0);
    lerp_lower_[k] = static_cast<int32_t>(lower);
    lerp_t_[k] = p - j0;
  }
  Reset();
}

void AmbientRenderer::Reset() {
  band_gain_left_.fill(1.0f);
  band_gain_right_.fill(1.0f);
  band_phase_.fill(0.0f);
}

void AmbientRenderer::Render(StereoSpectrum& spectrum, const AmbientSplit& split) noexcept {
  // Only the band sums of the input are needed afterwards, not a copy of it.
  const BandSums before = SumBands(spectrum);
  const BinTables tables = {rotation_angle_.data(), ambient_phase_.data(), direct_phase_.data(),
                            direct_cos_.data(),     direct_sin_.data(),    depth_eq_.data()};
  RenderBins(spectrum, split, tables, log_depth_, first_bin_, end_bin_);
  UpdateBalance(before, SumBands(spectrum));
  ApplyBalance(spectrum);
}

void AmbientRenderer::RenderOneBin(StereoSpectrum& s, size_t k,
                                   const AmbientSplit& split) const noexcept {
  const float coherence = split.coherence_smooth[k];
  const float ambience = split.ambience_smooth[k];
  const float balance = split.balance_smooth[k];
  const float quadrature = split.quadrature_smooth[k];

  // Weakly coherent bins count fully as ambience; coherent ones less.
  const float x = std::sqrt(ambience) * (coherence < 0.5f ? 2.0f * coherence : 1.0f);
  const float rot = rotation_angle_[k];
  const float amb = ambient_phase_[k];
  // The rotation and phase lean away from where the bin already sits: each angle is scaled by
  // (1 + tanh(y)) / 2. Where the weight or the angle is 0 the product is a signed zero
  // whatever that factor is, so it is not computed there.
  const bool rotates = x != 0.0f && rot != 0.0f;
  const bool spreads = x != 0.0f && amb != 0.0f;
  const float lean1 = rotates ? HalfOnePlusTanh(1.5f * rot * balance) : 0.5f;
  const float lean2 = spreads ? HalfOnePlusTanh(-1.5f * amb * quadrature) : 0.5f;
  const float theta1 = x * rot * lean1;
  const float theta2 = x * amb * lean2 + (1.0f - x) * direct_phase_[k];
  const float power = log_depth_ != 0.0f ? PortableExp((ambience - 0.5f) * log_depth_) : 1.0f;
  const float g = (1.0f + (depth_eq_[k] - 1.0f) * ambience) * power;

  // cos(+-0) = 1 and sin(+-0) = +-0 exactly.
  float c1 = 1.0f, s1 = theta1, c2, s2;
  if (rotates) PortableSinCos(theta1, s1, c1);
  PortableSinCos(theta2, s2, c2);
  const float lr = s.left_re[k];
  const float li = s.left_im[k];
  const float rr = s.right_re[k];
  const float ri = s.right_im[k];
  // Rotated pair, scaled.
  const float ar = g * (lr * c1 + rr * s1);
  const float ai = g * (li * c1 + ri * s1);
  const float br = g * (rr * c1 - lr * s1);
  const float bi = g * (ri * c1 - li * s1);
  // Left by e^(+i theta2), right by e^(-i theta2).
  const float out_lr = ar * c2 - ai * s2;
  const float out_li = ar * s2 + ai * c2;
  const float out_rr = br * c2 + bi * s2;
  const float out_ri = bi * c2 - br * s2;
  const size_t m = kFftSize - k;
  s.left_re[k] = out_lr;
  s.left_im[k] = out_li;
  s.right_re[k] = out_rr;
  s.right_im[k] = out_ri;
  s.left_re[m] = out_lr;
  s.left_im[m] = -out_li;
  s.right_re[m] = out_rr;
  s.right_im[m] = -out_ri;
}

AmbientRenderer::BandSums AmbientRenderer::SumBands(const StereoSpectrum& s) const noexcept {
  BandSums sums{};
  SumBandsOf(s, band_begin_.data(), sums.left.data(), sums.right.data(), sums.cross_re.data(),
             sums.cross_im.data());
  return sums;
}

void AmbientRenderer::UpdateBalance(const StereoSpectrum& before,
                                    const StereoSpectrum& after) noexcept {
  UpdateBalance(SumBands(before), SumBands(after));
}

void AmbientRenderer::UpdateBalance(const BandSums& in, const BandSums& out) noexcept {
  for (size_t j = 0; j < kBalanceBands; ++j) {
    const double e_in = in.left[j] + in.right[j];
    const double e_out = out.left[j] + out.right[j];
    if (e_in < kBandFloor || e_out < kBandFloor) continue;
    const double e_left = (in.left[j] / e_in) * e_out / (out.left[j] + kBandFloor);
    const double e_right = (in.right[j] / e_in) * e_out / (out.right[j] + kBandFloor);
    const auto target = [](double e) {
      return e < 0.25 ? 0.5f : static_cast<float>(std::min(std::sqrt(e), 2.0));
    };
    band_gain_left_[j] += kBalanceSmoothing * (target(e_left) - band_gain_left_[j]);
    band_gain_right_[j] += kBalanceSmoothing * (target(e_right) - band_gain_right_[j]);
    const float angle_out =
        Atan2(static_cast<float>(out.cross_im[j]), static_cast<float>(out.cross_re[j]));
    const float angle_in =
        Atan2(static_cast<float>(in.cross_im[j]), static_cast<float>(in.cross_re[j]));
    const float delta = angle_out - angle_in;
    const float wrapped = Atan2(std::sin(delta), std::cos(delta));
    band_phase_[j] += kBalanceSmoothing * (-0.5f * wrapped - band_phase_[j]);
  }
}

void AmbientRenderer::ApplyBalance(StereoSpectrum& s) const noexcept {
  BandCorrection bands{};
  bands.gain_left = band_gain_left_;
  bands.gain_right = band_gain_right_;
  bands.phase = band_phase_;
  for (size_t j = 0; j < kBalanceBands; ++j) {
    if (j + 1 < kBalanceBands) {
      bands.step_left[j] = band_gain_left_[j + 1] - band_gain_left_[j];
      bands.step_right[j] = band_gain_right_[j + 1] - band_gain_right_[j];
      bands.step_phase[j] = band_phase_[j + 1] - band_phase_[j];
    }
    PortableSinCos(band_phase_[j], bands.phase_sin[j], bands.phase_cos[j]);
  }
  ApplyBands(s, lerp_lower_.data(), lerp_t_.data(), bands, first_bin_, end_bin_);
}

}  // namespace halvex
