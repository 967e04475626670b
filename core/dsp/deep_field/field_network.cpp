#include "core/dsp/deep_field/field_network.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/dsp/kit/engine_rate.h"
#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/portable_math.h"

namespace halvex {
namespace {

using field::Flush;
using field::Flush4;
using field::Flush8;
using field::Lanes32;
using field::LoadLanes;
using field::ReadWindow;
using field::Splat;
using field::WriteWindow;

constexpr size_t kLines = FieldNetwork::kLines;
constexpr size_t kBlock = FieldNetwork::kBlock;
constexpr size_t kLineMask = FieldNetwork::kRingLength - 1;
constexpr size_t kAllpassMask = FieldNetwork::kAllpassRingLength - 1;

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
// Householder feedback I - (1/4) 1 1^T: lossless, every line feeds every other.
constexpr float kHouseholder = 0.25f;

constexpr float kTwoPi = 6.2831855f;
constexpr size_t kFirstModulatedLine = 6;  // lines 6 and 7 wander slowly to break up ringing
// Their rates: below 1 Hz, so the pitch wobble stays inaudible, and far from a simple ratio, so
// the two never move in step.
constexpr std::array<float, 2> kModulationHz{0.31f, 0.67f};
constexpr float kModDepth = 2.0f;  // frames of delay modulation
constexpr float kFractionFloor = 0.5f;  // the interpolating allpass's least fractional delay

static_assert(kFdnLen[0] > kBlock, "the lines read nothing a block writes");
static_assert(kAllpassLen[0][0] > kBlock && kAllpassLen[4][0] > kBlock,
              "the diffusers read nothing a block writes");

}  // namespace

void FieldNetwork::Configure(float field_size) {
  mod_rate_.fill(0.0f);
  for (size_t m = 0; m < kModulationHz.size(); ++m) {
    mod_rate_[kFirstModulatedLine + m] = kTwoPi * kModulationHz[m] / kEngineRateF;
  }
  BuildDamping(field_size);
  Reset();
}

void FieldNetwork::BuildDamping(float field_size) {
  const float t = std::max(field_size, kMinFieldSeconds) * kEngineRateF;
  for (size_t n = 0; n < kLines; ++n) {
    line_gain_[n] = std::pow(10.0f, -kDampingExponent[n] / t);
    const float h = std::pow(line_gain_[n], kHighDecayPower);
    damping_coeff_[n] = (1.0f - h) / (1.0f + h);
    damping_keep_[n] = 1.0f - damping_coeff_[n];
  }
}

void FieldNetwork::Reset() {
  for (auto& ring : line_ring_) ring.fill(0.0f);
  line_pos_ = 0;
  mod_phase_.fill(0.0f);
  line_prev_.fill(0.0f);
  for (auto& diffuser : allpass_) {
    for (auto& ring : diffuser) ring.fill(0.0f);
  }
  allpass_pos_ = 0;
  damping_state_.fill(0.0f);
}

[[gnu::always_inline]] inline float FieldNetwork::ReadLineAt(size_t line, size_t p) noexcept {
  const auto& ring = line_ring_[line];
  if (mod_rate_[line] == 0.0f) return ring[(p - kFdnLen[line]) & kLineMask];

  float phase = mod_phase_[line] + mod_rate_[line];
  if (phase > kTwoPi) phase -= kTwoPi;
  mod_phase_[line] = phase;
  const float d = static_cast<float>(kFdnLen[line]) + kModDepth * PortableSin(phase);
  // The allpass delays by f in [0.5, 1.5): its pole -eta then stays within 1/3 of the origin.
  // Near f = 0 it would sit next to -1 and ring at half the rate each time eta moved.
  const int32_t whole = static_cast<int32_t>(d - kFractionFloor);  // about 3000: signed suffices
  const size_t i = static_cast<size_t>(whole);
  const float f = d - static_cast<float>(whole);
  const float eta = (1.0f - f) / (1.0f + f);
  // First-order allpass interpolation, eta * x[n] + x[n - 1] - eta * y[n - 1] on the line
  // delayed by `whole`: flat magnitude, so modulation does not dull the tail.
  const float y = Flush(ring[(p - i - 1) & kLineMask] +
                        eta * (ring[(p - i) & kLineMask] - line_prev_[line]));
  line_prev_[line] = y;
  return y;
}

float FieldNetwork::ReadLine(size_t line) noexcept { return ReadLineAt(line, line_pos_); }

// Stage by stage across the eight lines: every step but the reads is elementwise over lines.
// Lines 0-3 and 4-7 as two vectors, kept in registers through the diffusers.
HALVEX_FMA_CLONES
void FieldNetwork::Advance(Frame& out) noexcept {
  const size_t p = line_pos_;
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
  const Float4 s_hi =
      Flush4(Load4(damping_coeff_.data() + 4) * Load4(damping_state_.data() + 4) +
             Load4(damping_keep_.data() + 4) * hi);
  Store4(damping_state_.data(), s_lo);
  Store4(damping_state_.data() + 4, s_hi);
  Store4(out.data(), Load4(line_gain_.data()) * s_lo);
  Store4(out.data() + 4, Load4(line_gain_.data() + 4) * s_hi);
}

HALVEX_FMA_CLONES
void FieldNetwork::Feed(const Frame& acc, const Frame& out) noexcept {
  float sum = 0.0f;
  for (size_t n = 0; n < kLines; ++n) sum += out[n];
  const Float4 feedback = Splat(kHouseholder * sum);
  for (size_t h = 0; h < kLines; h += 4) {
    const Float4 w = Load4(out.data() + h) - feedback + Load4(acc.data() + h);
    for (size_t n = 0; n < 4; ++n) line_ring_[h + n][line_pos_] = w[n];
  }
  line_pos_ = (line_pos_ + 1) & kLineMask;
}

// The diffusers' shortest delay and the lines' exceed a block, so nothing a block writes is
// read in the same block: each step runs across the block's frames as vectors, with the
// operations Advance applies frame by frame. Only the damping and the modulated reads carry a
// state from frame to frame; they stay serial.
HALVEX_FMA_CLONES
void FieldNetwork::AdvanceBlock(Block& out) noexcept {
  const size_t p = line_pos_;
  std::array<Lanes32, kLines> x;
  for (size_t n = 0; n < kFirstModulatedLine; ++n) {
    ReadWindow(x[n], line_ring_[n].data(), kLineMask, p - kFdnLen[n]);
  }
  // The modulated lines as ReadLineAt reads them: the phases first, their sines as vectors,
  // then the interpolation, which is serial through the previous output; the two lines'
  // chains are interleaved so that they overlap.
  constexpr size_t kModulated = kLines - kFirstModulatedLine;
  alignas(32) std::array<std::array<float, kBlock>, kModulated> sine;
  for (size_t m = 0; m < kModulated; ++m) {
    const size_t n = kFirstModulatedLine + m;
    alignas(32) std::array<float, kBlock> phase;
    float ph = mod_phase_[n];
    // Unrolled: the loop's own instructions were as many as its work.
#pragma GCC unroll 32
    for (size_t i = 0; i < kBlock; ++i) {
      ph += mod_rate_[n];
      if (ph > kTwoPi) ph -= kTwoPi;
      phase[i] = ph;
    }
    mod_phase_[n] = ph;
    PortableSinBlock(phase.data(), sine[m].data(), kBlock);
  }
  // The delays, their fractions and the interpolation coefficients as vectors; then the two
  // taps of every frame, a plain window when the whole delay holds across the block (it moves
  // by less than a frame in a second).
  alignas(32) std::array<std::array<float, kBlock>, kModulated> eta;
  alignas(32) std::array<std::array<float, kBlock>, kModulated> near;  // ring[p + i - whole]
  alignas(32) std::array<std::array<float, kBlock>, kModulated> far;   // the frame before it
  for (size_t m = 0; m < kModulated; ++m) {
    const size_t n = kFirstModulatedLine + m;
    const float* ring = line_ring_[n].data();
    alignas(32) std::array<int32_t, kBlock> whole;
    // Four at a time, as the sines were stored: a wider load of narrower stores would stall.
    for (size_t i = 0; i < kBlock; i += 4) {
      Float4 d;
      std::memcpy(&d, sine[m].data() + i, sizeof d);
      d = static_cast<float>(kFdnLen[n]) + kModDepth * d;
      const Int4 w = __builtin_convertvector(d - kFractionFloor, Int4);  // as ReadLineAt
      const Float4 f = d - __builtin_convertvector(w, Float4);
      const Float4 e = (1.0f - f) / (1.0f + f);
      std::memcpy(eta[m].data() + i, &e, sizeof e);
      std::memcpy(whole.data() + i, &w, sizeof w);
    }
    if (whole[0] == whole[kBlock - 1]) {
      const size_t at = p - static_cast<size_t>(whole[0]);
      Lanes32 v;
      ReadWindow(v, ring, kLineMask, at);
      StoreLanes(near[m].data(), v);
      ReadWindow(v, ring, kLineMask, at - 1);
      StoreLanes(far[m].data(), v);
    } else {
      for (size_t i = 0; i < kBlock; ++i) {
        const size_t at = p + i - static_cast<size_t>(whole[i]);
        near[m][i] = ring[at & kLineMask];
        far[m][i] = ring[(at - 1) & kLineMask];
      }
    }
  }
  alignas(32) std::array<std::array<float, kBlock>, kModulated> y;
  std::array<float, kModulated> prev;
  for (size_t m = 0; m < kModulated; ++m) prev[m] = line_prev_[kFirstModulatedLine + m];
#pragma GCC unroll 32
  for (size_t i = 0; i < kBlock; ++i) {
    for (size_t m = 0; m < kModulated; ++m) {
      prev[m] = Flush(far[m][i] + eta[m][i] * (near[m][i] - prev[m]));
      y[m][i] = prev[m];
    }
  }
  for (size_t m = 0; m < kModulated; ++m) {
    line_prev_[kFirstModulatedLine + m] = prev[m];
    LoadLanes(x[kFirstModulatedLine + m], y[m].data());
  }
  const size_t ap = allpass_pos_;
  for (size_t a = 0; a < kAllpassesPerLine; ++a) {
    for (size_t n = 0; n < kLines; ++n) {
      float* ring = allpass_[a][n].data();
      Lanes32 d;
      ReadWindow(d, ring, kAllpassMask, ap - kAllpassLen[n][a]);
      Lanes32 w;
      Lanes32& v = x[n];
      field::ForParts(
          [](Float8& w, const Float8& v, const Float8& d) {
            w = v - kAllpassGain * d;
            Flush8(w);
          },
          w, v, d);
      WriteWindow(ring, kAllpassMask, ap, w);
      field::ForParts([](Float8& v, const Float8& d, const Float8& w) { v = d + kAllpassGain * w; },
                      v, d, w);
    }
  }
  allpass_pos_ = (ap + kBlock) & kAllpassMask;
  // The damping runs across the lines in one vector, frame after frame: each eight frames are
  // transposed in and out so the serial chain is one for all eight lines.
  static_assert(kLines == 8, "one vector of eight lines");
  Float8 c, keep, g, state;
  std::memcpy(&c, damping_coeff_.data(), sizeof c);
  std::memcpy(&keep, damping_keep_.data(), sizeof keep);
  std::memcpy(&g, line_gain_.data(), sizeof g);
  std::memcpy(&state, damping_state_.data(), sizeof state);
  // Each part of the lanes (eight frames) straight from the registers the diffusers left.
  const auto damp = [&](Float8 Lanes32::*part, size_t at) {
    Float8 r[kLines];
    for (size_t n = 0; n < kLines; ++n) r[n] = x[n].*part;
    field::Transpose8x8(r);  // r[i]: the lines of frame at + i
    for (size_t i = 0; i < 8; ++i) {
      state = c * state + keep * r[i];
      Flush8(state);
      r[i] = g * state;
    }
    field::Transpose8x8(r);  // back to r[n]: line n's eight frames
    for (size_t n = 0; n < kLines; ++n) Store8(out[n].data() + at, r[n]);
  };
  damp(&Lanes32::a, 0);
  damp(&Lanes32::b, 8);
  damp(&Lanes32::c, 16);
  damp(&Lanes32::d, 24);
  std::memcpy(damping_state_.data(), &state, sizeof state);
}

HALVEX_FMA_CLONES
void FieldNetwork::FeedBlock(const Block& acc, const Block& out) noexcept {
  Lanes32 sum = {};
  for (size_t n = 0; n < kLines; ++n) field::AddLanes(sum, out[n].data());
  Lanes32 feedback;
  field::ForParts([](Float8& f, const Float8& s) { f = kHouseholder * s; }, feedback, sum);
  for (size_t n = 0; n < kLines; ++n) {
    Lanes32 o, in, w;
    LoadLanes(o, out[n].data());
    LoadLanes(in, acc[n].data());
    field::ForParts([](Float8& w, const Float8& o, const Float8& f,
                       const Float8& i) { w = o - f + i; },
                    w, o, feedback, in);
    WriteWindow(line_ring_[n].data(), kLineMask, line_pos_, w);
  }
  line_pos_ = (line_pos_ + kBlock) & kLineMask;
}

}  // namespace halvex
