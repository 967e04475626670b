#include "core/dsp/field_synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "core/dsp/engine_rate.h"
#include "core/dsp/multiversion.h"
#include "core/dsp/portable_math.h"
#include "core/dsp/vector_kit.h"

namespace halvex {
namespace {

constexpr size_t kLines = FieldSynth::kLines;
constexpr size_t kLayers = FieldSynth::kLayers;
constexpr size_t kLineMask = FieldSynth::kLineRingLength - 1;
constexpr size_t kAllpassMask = FieldSynth::kAllpassRingLength - 1;
constexpr size_t kBlock = FieldSynth::kVelvetBlock;

// Taps of the six early sequences (primes, so no two sequences share a period).
constexpr std::array<size_t, FieldSynth::kEarlySequences> kVelvetCount{61, 67, 71, 73, 79, 83};
constexpr size_t kLateSlot = 6;              // frames per late tap
constexpr float kLateTapLevel = 0.057735022f;  // 1/sqrt(300)
// The lines each early layer emphasises.
constexpr std::array<size_t, kLayers> kLayerFirstLine{0, 2, 5};
constexpr std::array<size_t, kLayers> kLayerLineCount{3, 4, 3};
constexpr float kLayerEmphasis = 1.7f;
// Line lengths in frames, mutually prime.
constexpr std::array<size_t, kLines> kFdnLen{1097, 1327, 1571, 1949, 2311, 2677, 3079, 3469};
// Three Schroeder diffusers per line, frames.
constexpr std::array<std::array<size_t, 3>, kLines> kAllpassLen{{{149, 379, 577},
                                                                 {211, 401, 601},
                                                                 {283, 419, 619},
                                                                 {353, 439, 641},
                                                                 {167, 457, 659},
                                                                 {193, 467, 673},
                                                                 {229, 487, 691},
                                                                 {241, 523, 709}}};
// 3 * (line length + 0.2 * its diffusers' lengths): -60 dB per T frames over one loop.
constexpr std::array<float, kLines> kDampingExponent{3954.0f, 4708.8f, 5505.6f, 6706.8f,
                                                     7702.8f, 8830.8f, 10081.2f, 11290.8f};
constexpr float kHighDecayPower = 1.8571429f;  // 13/7: highs decay 2.86 times faster
constexpr float kMinFieldSeconds = 0.05f;
constexpr float kAllpassGain = 0.5f;

// Tone of the field: peaking sections as (Hz, dB, bandwidth in octaves).
struct Peak {
  float hz;
  float db;
  float octaves;
};
constexpr std::array<Peak, 3> kColour{{{4500.0f, -2.5f, 0.9f},
                                       {9000.0f, -1.5f, 0.5f},
                                       {700.0f, 1.0f, 1.0f}}};
constexpr float kSpeakerColourScale = 0.6f;
constexpr float kSpeakerWidthScale = 0.85f;

constexpr uint32_t kVelvetSeed = 0x5EED1234u;
constexpr uint32_t kInjectionSeed = 0xC0DA6B8Du;

constexpr float kTwoPi = 6.2831855f;
constexpr size_t kFirstModulatedLine = 6;  // lines 6 and 7 wander slowly to break up ringing
// Their rates: below 1 Hz, so the pitch wobble stays inaudible, and far from a simple ratio, so
// the two never move in step.
constexpr std::array<float, 2> kModulationHz{0.31f, 0.67f};
// The lines whose injection the right channel takes inverted: half of them, two in each half of
// the Householder mix, so the channels' fields decorrelate while each keeps the same energy.
constexpr std::array<bool, kLines> kRightInverted{false, true, true, false,
                                                  false, true, true, false};
constexpr float kModDepth = 2.0f;  // frames of delay modulation
constexpr float kFlush = 1e-25f;   // below this the recursive paths are set to 0
constexpr float kInvSqrt8 = 0.35355338f;
constexpr float kLateMix = 0.75f;

constexpr float kBalanceSmoothing = 2e-4f;
constexpr float kBalanceStep = 5e-4f;
constexpr float kBalanceFloor = 1e-14f;
constexpr float kBalanceMin = 0.71428573f;  // 1/1.4
constexpr float kBalanceMax = 1.4f;
constexpr float kCentreGain = 0.68f;

uint32_t Step(uint32_t s) { return s * 1664525u + 1013904223u; }

float Flush(float x) { return std::fabs(x) < kFlush ? 0.0f : x; }

// Four lanes of the elementwise steps, written as vectors because the compiler's cheap cost
// model leaves such short loops scalar and branchy. Every lane does exactly the scalar
// operations, so the bits are those of a scalar loop.

Float4 Load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
void Store4(float* p, Float4 v) { std::memcpy(p, &v, sizeof v); }
Float4 Splat(float x) { return Float4{x, x, x, x}; }
Float4 Flush4(Float4 x) {
  const Float4 magnitude = reinterpret_cast<Float4>(reinterpret_cast<Int4>(x) & 0x7fffffff);
  return magnitude < Splat(kFlush) ? Splat(0.0f) : x;
}
Float4 Clamp4(Float4 x, float lo, float hi) {
  const Float4 low = x < Splat(lo) ? Splat(lo) : x;
  return low > Splat(hi) ? Splat(hi) : low;
}

// far[i] = sum over the far taps of sign * x(block start + i - position). Lanes run across time.
// The order of the sum is free: the positive taps and the negative taps are each summed in
// position order, alternating between two partial sums so consecutive adds do not wait on each
// other, and far = (plus_even + plus_odd) - (minus_even + minus_odd). The history already holds
// level * x, so each tap is a single add of exactly the product level * x would give, and the
// bits do not depend on the vector width.
static_assert(kBlock == 32, "the velvet sums are unrolled for four vectors of eight frames");

struct Lanes32 {
  Float8 a, b, c, d;
};

[[gnu::always_inline]] inline void LoadLanes(Lanes32& v, const float* src) {
  std::memcpy(&v.a, src, sizeof v.a);
  std::memcpy(&v.b, src + 8, sizeof v.b);
  std::memcpy(&v.c, src + 16, sizeof v.c);
  std::memcpy(&v.d, src + 24, sizeof v.d);
}

[[gnu::always_inline]] inline void StoreLanes(float* dst, const Lanes32& v) {
  std::memcpy(dst, &v.a, sizeof v.a);
  std::memcpy(dst + 8, &v.b, sizeof v.b);
  std::memcpy(dst + 16, &v.c, sizeof v.c);
  std::memcpy(dst + 24, &v.d, sizeof v.d);
}

// ring[(start + i) & mask] for the block's frames; a window that wraps is copied in two parts.
[[gnu::always_inline]] inline void ReadWindow(Lanes32& v, const float* ring, size_t mask,
                                              size_t start) {
  start &= mask;
  if (start + kBlock <= mask + 1) {
    LoadLanes(v, ring + start);
    return;
  }
  alignas(32) std::array<float, kBlock> t;
  for (size_t i = 0; i < kBlock; ++i) t[i] = ring[(start + i) & mask];
  LoadLanes(v, t.data());
}

[[gnu::always_inline]] inline void WriteWindow(float* ring, size_t mask, size_t start,
                                               const Lanes32& v) {
  start &= mask;
  if (start + kBlock <= mask + 1) {
    StoreLanes(ring + start, v);
    return;
  }
  alignas(32) std::array<float, kBlock> t;
  StoreLanes(t.data(), v);
  for (size_t i = 0; i < kBlock; ++i) ring[(start + i) & mask] = t[i];
}


// Flush for eight lanes, in place (a vector passed by value would change the baseline ABI).
[[gnu::always_inline]] inline void Flush8(Float8& x) {
  const Float8 magnitude = reinterpret_cast<Float8>(reinterpret_cast<Int8>(x) & 0x7fffffff);
  const Float8 limit = {kFlush, kFlush, kFlush, kFlush, kFlush, kFlush, kFlush, kFlush};
  x = magnitude < limit ? Float8{} : x;
}

[[gnu::always_inline]] inline void AddTap(Lanes32& acc, const float* src) {
  Lanes32 x;
  LoadLanes(x, src);
  acc.a += x.a;
  acc.b += x.b;
  acc.c += x.c;
  acc.d += x.d;
}

[[gnu::always_inline]] inline void SubTap(Lanes32& acc, const float* src) {
  Lanes32 x;
  LoadLanes(x, src);
  acc.a -= x.a;
  acc.b -= x.b;
  acc.c -= x.c;
  acc.d -= x.d;
}

[[gnu::always_inline]] inline void SumTaps(Lanes32& even, Lanes32& odd, const float* base,
                                           const uint32_t* offset, size_t count) {
  size_t j = 0;
  for (; j + 2 <= count; j += 2) {
    AddTap(even, base + offset[j]);
    AddTap(odd, base + offset[j + 1]);
  }
  if (j < count) AddTap(even, base + offset[j]);
}

// base points at the block's first frame in the second copy of the history, so base - position
// stays inside the doubled ring for every far tap.
HALVEX_FMA_CLONES
void SumFarTaps(const float* __restrict base, const uint32_t* __restrict offset, size_t plus,
                size_t count, float* __restrict far) {
  Lanes32 plus_even{}, plus_odd{}, minus_even{}, minus_odd{};
  SumTaps(plus_even, plus_odd, base, offset, plus);
  SumTaps(minus_even, minus_odd, base, offset + plus, count - plus);
  const Lanes32 sum = {(plus_even.a + plus_odd.a) - (minus_even.a + minus_odd.a),
                       (plus_even.b + plus_odd.b) - (minus_even.b + minus_odd.b),
                       (plus_even.c + plus_odd.c) - (minus_even.c + minus_odd.c),
                       (plus_even.d + plus_odd.d) - (minus_even.d + minus_odd.d)};
  StoreLanes(far, sum);
}

template <size_t kCapacity>
void FillFar(FieldSynth::Velvet<kCapacity>& v, size_t write) {
  using V = FieldSynth::Velvet<kCapacity>;
  SumFarTaps(v.history.data() + write, v.far_offset.data(), v.far_plus, v.count - v.near_count,
             v.far.data());
  static_assert(V::kHistory >= FieldSynth::kLateSpan + kBlock);
}

// Exactly rounded square roots of four values that are never negative. The vector instruction
// avoids the errno check that keeps the scalar call out of vector code.
Float4 Sqrt4(Float4 x) {
#if defined(__SSE__)
  return reinterpret_cast<Float4>(_mm_sqrt_ps(reinterpret_cast<__m128>(x)));
#else
  return Float4{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
#endif
}

// The colour sections, with their memories flushed: near the smallest normal float a resonant
// section whose a2 term underflows is left undamped and rings forever. Cloned so that the
// sections' fused multiply-adds are instructions rather than library calls.
[[gnu::always_inline]] inline float ColourOne(std::array<Biquad, 3>& chain, float x) noexcept {
  for (Biquad& b : chain) {
    x = b.Process(x);
    b.z1 = Flush(b.z1);
    b.z2 = Flush(b.z2);
  }
  return x;
}

HALVEX_FMA_CLONES
float Colour(std::array<Biquad, 3>& chain, float x) noexcept {
  return ColourOne(chain, x);
}

// Adds the taps closer than a block to far, lanes across the block's frames, in tap order: the
// same adds, in the same order, as VelvetStep makes frame by frame.
template <size_t kCapacity>
[[gnu::always_inline]] inline void AddNearTaps(FieldSynth::Velvet<kCapacity>& v, size_t write) {
  constexpr size_t kMask = FieldSynth::Velvet<kCapacity>::kHistory - 1;
  Lanes32 sum;
  LoadLanes(sum, v.far.data());
  for (size_t j = 0; j < v.near_count; ++j) {
    const float* src = v.history.data() + ((write - v.position[j]) & kMask);
    if (v.sign[j] > 0.0f) {
      AddTap(sum, src);
    } else {
      SubTap(sum, src);
    }
  }
  StoreLanes(v.far.data(), sum);
}

template <size_t kCapacity>
void BuildSequence(FieldSynth::Velvet<kCapacity>& v, size_t taps, size_t span, float level,
                   uint32_t& s) {
  using V = FieldSynth::Velvet<kCapacity>;
  v.count = taps;
  v.level = level;
  v.near_count = 0;
  for (size_t j = 0; j < taps; ++j) {
    const uint32_t s1 = Step(s);
    v.position[j] = j * span + s1 % span;
    v.sign[j] = (s & 1u) ? level : -level;
    s = Step(s1);
    // Positions grow with j, so the near taps are a prefix.
    if (v.position[j] < kBlock) v.near_count = j + 1;
  }
  v.far_plus = 0;
  size_t n = 0;
  for (bool positive : {true, false}) {
    for (size_t j = v.near_count; j < taps; ++j) {
      if ((v.sign[j] > 0.0f) != positive) continue;
      v.far_offset[n++] = static_cast<uint32_t>(V::kHistory - v.position[j]);
    }
    if (positive) v.far_plus = n;
  }
}

}  // namespace

void FieldSynth::Configure(RenderTarget target, float field_size, float envelopment) {
  const bool headphones = target == RenderTarget::kHeadphones;
  mod_rate_.fill(0.0f);
  for (size_t m = 0; m < kModulationHz.size(); ++m) {
    mod_rate_[kFirstModulatedLine + m] = kTwoPi * kModulationHz[m] / kEngineRateF;
  }
  width_ = headphones ? envelopment : kSpeakerWidthScale * envelopment;
  const float colour_scale = headphones ? 1.0f : kSpeakerColourScale;
  for (size_t i = 0; i < kColour.size(); ++i) {
    colour_left_[i].SetPeaking(kColour[i].hz, kColour[i].db * colour_scale, kColour[i].octaves);
    colour_right_[i].SetPeaking(kColour[i].hz, kColour[i].db * colour_scale, kColour[i].octaves);
  }
  split_left_.Configure();
  split_right_.Configure();
  BuildVelvet(kVelvetSeed);
  BuildInjection(kInjectionSeed);
  BuildDamping(field_size);
  Reset();
}

void FieldSynth::Reset() {
  for (auto& v : early_) {
    v.history.fill(0.0f);
    v.far.fill(0.0f);
  }
  for (auto& v : late_) {
    v.history.fill(0.0f);
    v.far.fill(0.0f);
  }
  velvet_write_ = 0;
  block_pos_ = 0;
  for (auto& ring : line_ring_) ring.fill(0.0f);
  line_pos_ = 0;
  mod_phase_.fill(0.0f);
  line_prev_.fill(0.0f);
  for (auto& diffuser : allpass_) {
    for (auto& ring : diffuser) ring.fill(0.0f);
  }
  allpass_pos_ = 0;
  for (Biquad& b : colour_left_) b.Reset();
  for (Biquad& b : colour_right_) b.Reset();
  split_left_.Reset();
  split_right_.Reset();
  power_left_.fill(0.0f);
  power_right_.fill(0.0f);
  gain_left_.fill(1.0f);
  gain_right_.fill(1.0f);
  damping_state_.fill(0.0f);
}

void FieldSynth::BuildVelvet(uint32_t seed) {
  uint32_t s = seed;
  for (size_t q = 0; q < kEarlySequences; ++q) {
    const size_t n = kVelvetCount[q];
    BuildSequence(early_[q], n, kEarlySpan / n, 1.0f / std::sqrt(static_cast<float>(n)), s);
  }
  for (auto& v : late_) BuildSequence(v, kLateTaps, kLateSlot, kLateTapLevel, s);
}

void FieldSynth::BuildInjection(uint32_t seed) {
  uint32_t x = seed;
  for (size_t layer = 0; layer < kLayers; ++layer) {
    std::array<float, kLines> v{1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f, -1.0f};
    uint32_t s = x;
    for (size_t n = kLines - 1; n >= 1; --n) {
      s = Step(s);
      std::swap(v[n], v[s % (n + 1)]);
    }
    const size_t first = kLayerFirstLine[layer];
    for (size_t n = first; n < first + kLayerLineCount[layer]; ++n) v[n] *= kLayerEmphasis;
    float norm2 = 0.0f;
    for (float e : v) norm2 += e * e;
    const float norm = std::sqrt(norm2);
    for (size_t n = 0; n < kLines; ++n) {
      injection_left_[layer][n] = v[n] / norm;
      injection_right_[layer][n] =
          kRightInverted[n] ? -injection_left_[layer][n] : injection_left_[layer][n];
    }
    x = s;
  }
}

void FieldSynth::BuildDamping(float field_size) {
  const float t = std::max(field_size, kMinFieldSeconds) * kEngineRateF;
  for (size_t n = 0; n < kLines; ++n) {
    line_gain_[n] = std::pow(10.0f, -kDampingExponent[n] / t);
    const float h = std::pow(line_gain_[n], kHighDecayPower);
    damping_coeff_[n] = (1.0f - h) / (1.0f + h);
    damping_keep_[n] = 1.0f - damping_coeff_[n];
  }
}

[[gnu::always_inline]] inline float FieldSynth::ReadLineAt(size_t line, size_t p) noexcept {
  const auto& ring = line_ring_[line];
  if (mod_rate_[line] == 0.0f) return ring[(p - kFdnLen[line]) & kLineMask];

  float phase = mod_phase_[line] + mod_rate_[line];
  if (phase > kTwoPi) phase -= kTwoPi;
  mod_phase_[line] = phase;
  const float d = static_cast<float>(kFdnLen[line]) + kModDepth * PortableSin(phase);
  const int32_t whole = static_cast<int32_t>(d);  // d is about 3000: a signed convert suffices
  const size_t i = static_cast<size_t>(whole);
  const float f = d - static_cast<float>(whole);
  const float eta = (1.0f - f) / (1.0f + f);
  // First-order allpass interpolation: flat magnitude, so modulation does not dull the tail.
  const float y = Flush(ring[(p - i) & kLineMask] +
                        eta * (ring[(p - i - 1) & kLineMask] - line_prev_[line]));
  line_prev_[line] = y;
  return y;
}

float FieldSynth::ReadLine(size_t line) noexcept { return ReadLineAt(line, line_pos_); }

// Stage by stage across the eight lines: every step but the reads is elementwise over lines.
[[gnu::always_inline]] inline void FieldSynth::AdvanceAt(size_t p, float* out) noexcept {
  // Lines 0-3 and 4-7 as two vectors, kept in registers through the diffusers. Only the last two
  // lines are modulated; the others are plain reads.
  const auto behind = [&](size_t n) { return line_ring_[n][(p - kFdnLen[n]) & kLineMask]; };
  Float4 lo = {behind(0), behind(1), behind(2), behind(3)};
  static_assert(kFirstModulatedLine == 6, "lines 6 and 7 are the modulated ones");
  Float4 hi = {behind(4), behind(5), ReadLineAt(6, p), ReadLineAt(7, p)};

  const size_t ap = allpass_pos_;
#pragma GCC unroll 3
  for (size_t a = 0; a < kAllpassesPerLine; ++a) {
    auto& rings = allpass_[a];
    const auto tap = [&](size_t n) { return rings[n][(ap - kAllpassLen[n][a]) & kAllpassMask]; };
    const Float4 d_lo = {tap(0), tap(1), tap(2), tap(3)};
    const Float4 d_hi = {tap(4), tap(5), tap(6), tap(7)};
    const Float4 w_lo = Flush4(lo - Splat(kAllpassGain) * d_lo);
    const Float4 w_hi = Flush4(hi - Splat(kAllpassGain) * d_hi);
    for (size_t n = 0; n < 4; ++n) {
      rings[n][ap] = w_lo[n];
      rings[n + 4][ap] = w_hi[n];
    }
    lo = d_lo + Splat(kAllpassGain) * w_lo;
    hi = d_hi + Splat(kAllpassGain) * w_hi;
  }
  allpass_pos_ = (ap + 1) & kAllpassMask;

  const Float4 s_lo = Flush4(Load4(damping_coeff_.data()) * Load4(damping_state_.data()) +
                         Load4(damping_keep_.data()) * lo);
  const Float4 s_hi = Flush4(Load4(damping_coeff_.data() + 4) * Load4(damping_state_.data() + 4) +
                         Load4(damping_keep_.data() + 4) * hi);
  Store4(damping_state_.data(), s_lo);
  Store4(damping_state_.data() + 4, s_hi);
  Store4(out, Load4(line_gain_.data()) * s_lo);
  Store4(out + 4, Load4(line_gain_.data() + 4) * s_hi);
}

HALVEX_FMA_CLONES
void FieldSynth::AdvanceLines(std::array<float, kLines>& out) noexcept {
  AdvanceAt(line_pos_, out.data());
}

[[gnu::always_inline]] inline void FieldSynth::FeedAt(size_t p, const float* acc,
                                                     const float* out) noexcept {
  float sum = 0.0f;
  for (size_t n = 0; n < kLines; ++n) sum += out[n];
  // Householder feedback I - (1/4) 1 1^T: lossless, every line feeds every other.
  const Float4 feedback = Splat(0.25f * sum);
  for (size_t h = 0; h < kLines; h += 4) {
    const Float4 w = Load4(out + h) - feedback + Load4(acc + h);
    for (size_t n = 0; n < 4; ++n) line_ring_[h + n][p] = w[n];
  }
}

// The diffusers' shortest delay (149 frames) and the lines' (1097) exceed a block, so nothing a
// block writes is read in the same block: each step runs across the block's frames as vectors,
// with the operations AdvanceAt applies frame by frame. Only the damping and the modulated reads
// carry a state from frame to frame; they stay serial.
[[gnu::always_inline]] inline void FieldSynth::AdvanceBlock(
    std::array<std::array<float, kBlock>, kLines>& out) noexcept {
  const size_t p = line_pos_;
  std::array<Lanes32, kLines> x;
  for (size_t n = 0; n < kFirstModulatedLine; ++n) {
    ReadWindow(x[n], line_ring_[n].data(), kLineMask, p - kFdnLen[n]);
  }
  // The modulated lines as ReadLineAt reads them: the phases first, their sines as vectors,
  // then the interpolation, which is serial through the previous output.
  for (size_t n = kFirstModulatedLine; n < kLines; ++n) {
    alignas(32) std::array<float, kBlock> phase;
    float ph = mod_phase_[n];
    for (size_t i = 0; i < kBlock; ++i) {
      ph += mod_rate_[n];
      if (ph > kTwoPi) ph -= kTwoPi;
      phase[i] = ph;
    }
    mod_phase_[n] = ph;
    alignas(32) std::array<float, kBlock> sine;
    PortableSinBlock(phase.data(), sine.data(), kBlock);
    const float* ring = line_ring_[n].data();
    float prev = line_prev_[n];
    alignas(32) std::array<float, kBlock> y;
    for (size_t i = 0; i < kBlock; ++i) {
      const float d = static_cast<float>(kFdnLen[n]) + kModDepth * sine[i];
      const int32_t whole = static_cast<int32_t>(d);
      const size_t at = p + i - static_cast<size_t>(whole);
      const float f = d - static_cast<float>(whole);
      const float eta = (1.0f - f) / (1.0f + f);
      prev = Flush(ring[at & kLineMask] + eta * (ring[(at - 1) & kLineMask] - prev));
      y[i] = prev;
    }
    line_prev_[n] = prev;
    LoadLanes(x[n], y.data());
  }
  const size_t ap = allpass_pos_;
  for (size_t a = 0; a < kAllpassesPerLine; ++a) {
    for (size_t n = 0; n < kLines; ++n) {
      float* ring = allpass_[a][n].data();
      Lanes32 d;
      ReadWindow(d, ring, kAllpassMask, ap - kAllpassLen[n][a]);
      Lanes32 w;
      Lanes32& v = x[n];
      w.a = v.a - kAllpassGain * d.a;
      w.b = v.b - kAllpassGain * d.b;
      w.c = v.c - kAllpassGain * d.c;
      w.d = v.d - kAllpassGain * d.d;
      Flush8(w.a);
      Flush8(w.b);
      Flush8(w.c);
      Flush8(w.d);
      WriteWindow(ring, kAllpassMask, ap, w);
      v.a = d.a + kAllpassGain * w.a;
      v.b = d.b + kAllpassGain * w.b;
      v.c = d.c + kAllpassGain * w.c;
      v.d = d.d + kAllpassGain * w.d;
    }
  }
  allpass_pos_ = (ap + kBlock) & kAllpassMask;
  // The damping runs across the lines in one vector, frame after frame: the block is transposed
  // in and out so the serial chain is one for all eight lines.
  alignas(32) std::array<std::array<float, kLines>, kBlock> in;
  for (size_t n = 0; n < kLines; ++n) {
    alignas(32) std::array<float, kBlock> line;
    StoreLanes(line.data(), x[n]);
    for (size_t i = 0; i < kBlock; ++i) in[i][n] = line[i];
  }
  static_assert(kLines == 8, "one vector of eight lines");
  Float8 c, keep, g, state;
  std::memcpy(&c, damping_coeff_.data(), sizeof c);
  std::memcpy(&keep, damping_keep_.data(), sizeof keep);
  std::memcpy(&g, line_gain_.data(), sizeof g);
  std::memcpy(&state, damping_state_.data(), sizeof state);
  for (size_t i = 0; i < kBlock; ++i) {
    Float8 v;
    std::memcpy(&v, in[i].data(), sizeof v);
    state = c * state + keep * v;
    Flush8(state);
    v = g * state;
    std::memcpy(in[i].data(), &v, sizeof v);
  }
  std::memcpy(damping_state_.data(), &state, sizeof state);
  for (size_t n = 0; n < kLines; ++n) {
    for (size_t i = 0; i < kBlock; ++i) out[n][i] = in[i][n];
  }
}

[[gnu::always_inline]] inline void FieldSynth::FeedBlock(
    const std::array<std::array<float, kBlock>, kLines>& acc,
    const std::array<std::array<float, kBlock>, kLines>& out) noexcept {
  Lanes32 sum = {};
  for (size_t n = 0; n < kLines; ++n) {
    Lanes32 o;
    LoadLanes(o, out[n].data());
    sum.a += o.a;
    sum.b += o.b;
    sum.c += o.c;
    sum.d += o.d;
  }
  const Lanes32 feedback = {0.25f * sum.a, 0.25f * sum.b, 0.25f * sum.c, 0.25f * sum.d};
  for (size_t n = 0; n < kLines; ++n) {
    Lanes32 o, in;
    LoadLanes(o, out[n].data());
    LoadLanes(in, acc[n].data());
    const Lanes32 w = {o.a - feedback.a + in.a, o.b - feedback.b + in.b,
                       o.c - feedback.c + in.c, o.d - feedback.d + in.d};
    WriteWindow(line_ring_[n].data(), kLineMask, line_pos_, w);
  }
  line_pos_ = (line_pos_ + kBlock) & kLineMask;
}

HALVEX_FMA_CLONES
void FieldSynth::FeedLines(const std::array<float, kLines>& acc,
                           const std::array<float, kLines>& out) noexcept {
  FeedAt(line_pos_, acc.data(), out.data());
  line_pos_ = (line_pos_ + 1) & kLineMask;
}

void FieldSynth::InjectAndAdvance(const std::array<float, kLines>& acc,
                                  std::array<float, kLines>& out) noexcept {
  AdvanceLines(out);
  FeedLines(acc, out);
}

// Four bands at a time, in registers; the band sums are pairwise in a fixed order.
[[gnu::always_inline]] inline StereoSample FieldSynth::BalanceBands(
    const float* band_left, const float* band_right) noexcept {
  Float4 weighted_left[2];
  Float4 weighted_right[2];
  for (size_t h = 0; h < kBandSplitBands; h += 4) {
    const Float4 bl = Load4(band_left + h);
    const Float4 br = Load4(band_right + h);
    Float4 pl = Load4(power_left_.data() + h);
    Float4 pr = Load4(power_right_.data() + h);
    pl = pl + Splat(kBalanceSmoothing) * (bl * bl - pl);
    pr = pr + Splat(kBalanceSmoothing) * (br * br - pr);
    Store4(power_left_.data() + h, pl);
    Store4(power_right_.data() + h, pr);
    const Float4 mean = (pl + pr) / Splat(2.0f);
    const Float4 target_left = Clamp4(Sqrt4(mean / (pl + Splat(kBalanceFloor))), kBalanceMin, kBalanceMax);
    const Float4 target_right =
        Clamp4(Sqrt4(mean / (pr + Splat(kBalanceFloor))), kBalanceMin, kBalanceMax);
    const Float4 gl = Load4(gain_left_.data() + h);
    const Float4 gr = Load4(gain_right_.data() + h);
    // Below the floor both channels are silent in this band: hold the gains.
    const Int4 live = mean > Splat(kBalanceFloor);
    const Float4 new_left = live ? gl + Clamp4(target_left - gl, -kBalanceStep, kBalanceStep) : gl;
    const Float4 new_right = live ? gr + Clamp4(target_right - gr, -kBalanceStep, kBalanceStep) : gr;
    Store4(gain_left_.data() + h, new_left);
    Store4(gain_right_.data() + h, new_right);
    weighted_left[h / 4] = bl * new_left;
    weighted_right[h / 4] = br * new_right;
  }
  const auto sum8 = [](const Float4* w) {
    return ((w[0][0] + w[0][1]) + (w[0][2] + w[0][3])) + ((w[1][0] + w[1][1]) + (w[1][2] + w[1][3]));
  };
  return {sum8(weighted_left), sum8(weighted_right)};
}

[[gnu::always_inline]] inline StereoSample FieldSynth::BalanceOne(float left,
                                                                 float right) noexcept {
  alignas(16) std::array<float, kBandSplitBands> band_left;
  alignas(16) std::array<float, kBandSplitBands> band_right;
  split_left_.SplitInline(left, band_left.data());
  split_right_.SplitInline(right, band_right.data());
  return BalanceBands(band_left.data(), band_right.data());
}

HALVEX_FMA_CLONES
StereoSample FieldSynth::Balance(float left, float right) noexcept {
  return BalanceOne(left, right);
}

template <size_t kCapacity>
float FieldSynth::VelvetStep(Velvet<kCapacity>& v, float x, size_t write,
                             size_t block_pos) noexcept {
  constexpr size_t kMask = Velvet<kCapacity>::kHistory - 1;
  const float scaled = v.level * x;
  v.history[write] = scaled;
  v.history[write + Velvet<kCapacity>::kHistory] = scaled;
  float sum = v.far[block_pos];
  for (size_t j = 0; j < v.near_count; ++j) {
    const float h = v.history[(write - v.position[j]) & kMask];
    sum += v.sign[j] > 0.0f ? h : -h;
  }
  return sum;
}

StereoSample FieldSynth::Process(const std::array<FieldSend, 3>& sends,
                                 const FieldSend& late) noexcept {
  const size_t write = velvet_write_;
  if (block_pos_ == 0) {
    for (auto& v : early_) FillFar(v, write);
    for (auto& v : late_) FillFar(v, write);
  }

  // The lines' outputs do not depend on this frame's injection, so the long serial path to the
  // output (lines, colour, balance) starts first and the early diffusion overlaps it.
  std::array<float, kLines> o;
  AdvanceLines(o);
  const float late_left = VelvetStep(late_[0], late.left, write, block_pos_);
  const float late_right = VelvetStep(late_[1], late.right, write, block_pos_);
  float left = kLateMix * late_left +
               (o[0] - o[1] + o[2] - o[3] + o[4] - o[5] + o[6] - o[7]) * kInvSqrt8;
  float right = kLateMix * late_right +
                (o[0] + o[1] - o[2] - o[3] + o[4] + o[5] - o[6] - o[7]) * kInvSqrt8;
  left = Colour(colour_left_, left);
  right = Colour(colour_right_, right);
  const StereoSample balanced = Balance(left, right);

  alignas(16) std::array<float, kLines> acc{};
  for (size_t k = 0; k < kLayers; ++k) {
    const Float4 vl = Splat(VelvetStep(early_[2 * k], sends[k].left, write, block_pos_));
    const Float4 vr = Splat(VelvetStep(early_[2 * k + 1], sends[k].right, write, block_pos_));
    for (size_t h = 0; h < kLines; h += 4) {
      Store4(acc.data() + h, Load4(acc.data() + h) + (vl * Load4(injection_left_[k].data() + h) +
                                                      vr * Load4(injection_right_[k].data() + h)));
    }
  }
  FeedLines(acc, o);
  velvet_write_ = (write + 1) & (Velvet<kLateTaps>::kHistory - 1);
  block_pos_ = (block_pos_ + 1) % kBlock;

  const float u = (balanced.left + balanced.right) / 2.0f;
  const float v = (balanced.left - balanced.right) / 2.0f * width_;
  return {kCentreGain * u + v, kCentreGain * u - v};
}

// The frames of a block step by step: every velvet sum across the block at once, then the lines,
// the colour, the balance and the feedback each over the whole block. The lines read only frames
// written at least 1097 frames ago, so this block's feedback writes can wait until its outputs
// are known; each recursive state still sees its frames in order, with the operations of
// Process, so the result is bit for bit that of kVelvetBlock calls of Process. The short loops
// let consecutive frames' independent chains overlap.
HALVEX_FMA_CLONES
void FieldSynth::ProcessBlock(const std::array<std::array<FieldSend, 3>, kVelvetBlock>& sends,
                              const std::array<FieldSend, kVelvetBlock>& late,
                              std::array<StereoSample, kVelvetBlock>& out) noexcept {
  if (block_pos_ != 0) {
    for (size_t i = 0; i < kBlock; ++i) out[i] = Process(sends[i], late[i]);
    return;
  }
  static_assert(Velvet<kLateTaps>::kHistory % kBlock == 0, "a block never wraps the history");
  static_assert(kFdnLen[0] > kBlock, "the lines read nothing this block writes");
  const size_t write = velvet_write_;
  constexpr size_t kHistory = Velvet<kLateTaps>::kHistory;
  static_assert(Velvet<kMaxEarlyTaps>::kHistory == kHistory);
  for (auto& v : early_) FillFar(v, write);
  for (auto& v : late_) FillFar(v, write);
  for (size_t i = 0; i < kBlock; ++i) {
    for (size_t k = 0; k < kLayers; ++k) {
      auto& vl = early_[2 * k];
      auto& vr = early_[2 * k + 1];
      vl.history[write + i] = vl.history[write + i + kHistory] = vl.level * sends[i][k].left;
      vr.history[write + i] = vr.history[write + i + kHistory] = vr.level * sends[i][k].right;
    }
    late_[0].history[write + i] = late_[0].history[write + i + kHistory] =
        late_[0].level * late[i].left;
    late_[1].history[write + i] = late_[1].history[write + i + kHistory] =
        late_[1].level * late[i].right;
  }
  for (auto& v : early_) AddNearTaps(v, write);
  for (auto& v : late_) AddNearTaps(v, write);

  alignas(32) std::array<std::array<float, kBlock>, kLines> o;
  AdvanceBlock(o);

  alignas(64) std::array<float, kBlock> left;
  alignas(64) std::array<float, kBlock> right;
  for (size_t i = 0; i < kBlock; ++i) {
    left[i] = kLateMix * late_[0].far[i] + (o[0][i] - o[1][i] + o[2][i] - o[3][i] + o[4][i] -
                                            o[5][i] + o[6][i] - o[7][i]) * kInvSqrt8;
    right[i] = kLateMix * late_[1].far[i] + (o[0][i] + o[1][i] - o[2][i] - o[3][i] + o[4][i] +
                                             o[5][i] - o[6][i] - o[7][i]) * kInvSqrt8;
  }
  for (size_t i = 0; i < kBlock; ++i) {
    left[i] = ColourOne(colour_left_, left[i]);
    right[i] = ColourOne(colour_right_, right[i]);
  }
  static_assert(BandSplit::kMaxBlock >= kBlock);
  alignas(32) std::array<std::array<float, kBandSplitBands>, kBlock> band_left;
  alignas(32) std::array<std::array<float, kBandSplitBands>, kBlock> band_right;
  BandSplit::SplitPair(split_left_, split_right_, left.data(), right.data(), kBlock,
                       band_left.data(), band_right.data());
  for (size_t i = 0; i < kBlock; ++i) {
    const StereoSample balanced = BalanceBands(band_left[i].data(), band_right[i].data());
    const float u = (balanced.left + balanced.right) / 2.0f;
    const float v = (balanced.left - balanced.right) / 2.0f * width_;
    out[i] = {kCentreGain * u + v, kCentreGain * u - v};
  }

  alignas(32) std::array<std::array<float, kBlock>, kLines> acc{};
  for (size_t k = 0; k < kLayers; ++k) {
    const std::array<float, kBlock>& vl = early_[2 * k].far;
    const std::array<float, kBlock>& vr = early_[2 * k + 1].far;
    for (size_t n = 0; n < kLines; ++n) {
      const float il = injection_left_[k][n];
      const float ir = injection_right_[k][n];
      for (size_t i = 0; i < kBlock; ++i) acc[n][i] = acc[n][i] + (vl[i] * il + vr[i] * ir);
    }
  }
  FeedBlock(acc, o);
  velvet_write_ = (write + kBlock) & (kHistory - 1);
}

}  // namespace halvex
