#include "core/dsp/spectral/wola.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {

namespace {

constexpr size_t kFftBits = 10;
static_assert(size_t{1} << kFftBits == kFftSize);
constexpr size_t kInputMask = kFftSize - 1;
constexpr size_t kOutputMask = 2 * kFftSize - 1;

template <size_t N>
constexpr size_t Log2() {
  size_t bits = 0;
  while ((size_t{1} << bits) < N) ++bits;
  return bits;
}

template <size_t N>
constexpr std::array<uint16_t, N> MakeBitReversal() {
  constexpr size_t kBits = Log2<N>();
  std::array<uint16_t, N> table{};
  for (size_t i = 0; i < N; ++i) {
    size_t r = 0;
    for (size_t b = 0; b < kBits; ++b) r |= ((i >> b) & 1u) << (kBits - 1 - b);
    table[i] = static_cast<uint16_t>(r);
  }
  return table;
}

// Input index -> position after the decimation-in-time permutation, for the full-size
// transform and for the half-size one that real signals go through.
constexpr size_t kHalfSize = kFftSize / 2;
constexpr std::array<uint16_t, kFftSize> kBitReversed = MakeBitReversal<kFftSize>();
constexpr std::array<uint16_t, kHalfSize> kHalfBitReversed = MakeBitReversal<kHalfSize>();

// The permutation as a list of swaps (i < j), so applying it needs no test per index.
template <size_t N>
constexpr auto MakeSwaps() {
  constexpr auto rev = MakeBitReversal<N>();
  constexpr size_t count = [&] {
    size_t n = 0;
    for (size_t i = 0; i < N; ++i) n += rev[i] > i ? 1 : 0;
    return n;
  }();
  std::array<std::array<uint16_t, 2>, count> swaps{};
  size_t n = 0;
  for (size_t i = 0; i < N; ++i) {
    if (rev[i] > i) swaps[n++] = {static_cast<uint16_t>(i), rev[i]};
  }
  return swaps;
}
template <size_t N>
constexpr auto kSwaps = MakeSwaps<N>();

constexpr size_t kLanes = 8;

// The helpers below are always inlined, so each clone of the transform compiles them for its
// own instruction set.

// Shuffles for a pass whose groups are narrower than a vector (butterflies `kHalf` apart):
// Gather picks the eight even and eight odd inputs out of 16 consecutive elements (lo, hi),
// Scatter puts the results back in place.
template <size_t kHalf>
struct SmallSpan;
template <>
struct SmallSpan<1> {
  [[gnu::always_inline]] static void Gather(const Float8& lo, const Float8& hi, Float8& even, Float8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
    odd = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Float8& even, const Float8& odd, Float8& lo, Float8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 8, 1, 9, 2, 10, 3, 11);
    hi = __builtin_shufflevector(even, odd, 4, 12, 5, 13, 6, 14, 7, 15);
  }
};
template <>
struct SmallSpan<2> {
  [[gnu::always_inline]] static void Gather(const Float8& lo, const Float8& hi, Float8& even, Float8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 1, 4, 5, 8, 9, 12, 13);
    odd = __builtin_shufflevector(lo, hi, 2, 3, 6, 7, 10, 11, 14, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Float8& even, const Float8& odd, Float8& lo, Float8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 1, 8, 9, 2, 3, 10, 11);
    hi = __builtin_shufflevector(even, odd, 4, 5, 12, 13, 6, 7, 14, 15);
  }
};
template <>
struct SmallSpan<4> {
  [[gnu::always_inline]] static void Gather(const Float8& lo, const Float8& hi, Float8& even, Float8& odd) {
    even = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 8, 9, 10, 11);
    odd = __builtin_shufflevector(lo, hi, 4, 5, 6, 7, 12, 13, 14, 15);
  }
  [[gnu::always_inline]] static void Scatter(const Float8& even, const Float8& odd, Float8& lo, Float8& hi) {
    lo = __builtin_shufflevector(even, odd, 0, 1, 2, 3, 8, 9, 10, 11);
    hi = __builtin_shufflevector(even, odd, 4, 5, 6, 7, 12, 13, 14, 15);
  }
};

// The butterfly of every pass, eight at a time: t = w * x[odd] as (wr*xr - wi*xi, wr*xi + wi*xr),
// then x[odd] = x[even] - t, x[even] += t. The inverse's conjugate twiddle (c, -s) is folded
// into the signs: wr*xr - (-s)*xi is exactly wr*xr + s*xi.
template <bool kInverse>
[[gnu::always_inline]] inline void Butterfly(const Float8& wr, const Float8& ws, Float8& er,
                                             Float8& ei, Float8& orr, Float8& oi) {
  Float8 tr, ti;
  if constexpr (kInverse) {
    tr = wr * orr + ws * oi;
    ti = wr * oi - ws * orr;
  } else {
    tr = wr * orr - ws * oi;
    ti = wr * oi + ws * orr;
  }
  orr = er - tr;
  oi = ei - ti;
  er = er + tr;
  ei = ei + ti;
}

// Eight complex values from index i of split arrays (r real parts, q imaginary), and back.
[[gnu::always_inline]] inline void Load(const float* r, const float* q, size_t i, Float8& vr,
                                        Float8& vq) {
  Load8(vr, r + i);
  Load8(vq, q + i);
}
[[gnu::always_inline]] inline void Store(float* r, float* q, size_t i, const Float8& vr,
                                         const Float8& vq) {
  Store8(r + i, vr);
  Store8(q + i, vq);
}

// The twiddles of the pass with butterflies `kHalf` apart, repeated across the lanes.
template <size_t kHalf>
[[gnu::always_inline]] inline void SmallTwiddles(const float* twiddle_cos,
                                                 const float* twiddle_sin, Float8& wr,
                                                 Float8& ws) {
  for (size_t i = 0; i < kLanes; ++i) {
    const size_t k = (i % kHalf) * (kFftSize / (2 * kHalf));
    wr[i] = twiddle_cos[k];
    ws[i] = twiddle_sin[k];
  }
}

// One narrow pass on 16 elements held in registers (lo, hi), gathered into eight butterflies.
template <size_t kHalf, bool kInverse>
[[gnu::always_inline]] inline void SmallSpanStep(const Float8& wr, const Float8& ws, Float8& r0,
                                                 Float8& r1, Float8& q0, Float8& q1) {
  using S = SmallSpan<kHalf>;
  Float8 er, orr, ei, oi;
  S::Gather(r0, r1, er, orr);
  S::Gather(q0, q1, ei, oi);
  Butterfly<kInverse>(wr, ws, er, ei, orr, oi);
  S::Scatter(er, orr, r0, r1);
  S::Scatter(ei, oi, q0, q1);
}

// The three passes whose groups are narrower than a vector (spans 2, 4 and 8), run on 16
// elements at a time without storing between them.
template <bool kInverse, size_t N>
[[gnu::always_inline]] inline void SmallSpanPasses(float* r, float* q, const float* twiddle_cos,
                                                   const float* twiddle_sin) {
  Float8 wr1, ws1, wr2, ws2, wr4, ws4;
  SmallTwiddles<1>(twiddle_cos, twiddle_sin, wr1, ws1);
  SmallTwiddles<2>(twiddle_cos, twiddle_sin, wr2, ws2);
  SmallTwiddles<4>(twiddle_cos, twiddle_sin, wr4, ws4);
  for (size_t base = 0; base < N; base += 2 * kLanes) {
    Float8 r0, r1, q0, q1;
    Load(r, q, base, r0, q0);
    Load(r, q, base + kLanes, r1, q1);
    SmallSpanStep<1, kInverse>(wr1, ws1, r0, r1, q0, q1);
    SmallSpanStep<2, kInverse>(wr2, ws2, r0, r1, q0, q1);
    SmallSpanStep<4, kInverse>(wr4, ws4, r0, r1, q0, q1);
    Store(r, q, base, r0, q0);
    Store(r, q, base + kLanes, r1, q1);
  }
}

// One pass with groups of at least 16: eight butterflies per step; `wc`, `ws` are the pass's
// twiddles, contiguous.
template <bool kInverse, size_t N>
[[gnu::always_inline]] inline void WidePass(float* r, float* q, size_t span, const float* wc,
                                            const float* ws) {
  const size_t half = span / 2;
  for (size_t group = 0; group < N; group += span) {
    for (size_t j = 0; j < half; j += kLanes) {
      const size_t even = group + j;
      const size_t odd = even + half;
      Float8 vwr, vws, er, ei, orr, oi;
      Load(wc, ws, j, vwr, vws);
      Load(r, q, even, er, ei);
      Load(r, q, odd, orr, oi);
      Butterfly<kInverse>(vwr, vws, er, ei, orr, oi);
      Store(r, q, odd, orr, oi);
      Store(r, q, even, er, ei);
    }
  }
}

// The passes of span s and 2s together, each element loaded and stored once for both: in a
// group of 2s, elements a, a + s/2, a + s, a + 3s/2 go through the pass of span s in pairs
// (a, a + s/2) and (a + s, a + 3s/2), then the pass of span 2s in pairs (a, a + s) and
// (a + s/2, a + 3s/2): the butterflies of the two passes, with their twiddles.
template <bool kInverse, size_t N>
[[gnu::always_inline]] inline void WidePassPair(float* r, float* q, size_t span,
                                                const float* wc1, const float* ws1,
                                                const float* wc2, const float* ws2) {
  const size_t half = span / 2;
  for (size_t group = 0; group < N; group += 2 * span) {
    for (size_t j = 0; j < half; j += kLanes) {
      const size_t a = group + j;
      const size_t b = a + half;
      const size_t c = a + span;
      const size_t d = c + half;
      Float8 w1r, w1s, ar, ai, br, bi, cr, ci, dr, di;
      Load(wc1, ws1, j, w1r, w1s);
      Load(r, q, a, ar, ai);
      Load(r, q, b, br, bi);
      Load(r, q, c, cr, ci);
      Load(r, q, d, dr, di);
      Butterfly<kInverse>(w1r, w1s, ar, ai, br, bi);
      Butterfly<kInverse>(w1r, w1s, cr, ci, dr, di);
      Float8 w2r, w2s;
      Load(wc2, ws2, j, w2r, w2s);
      Butterfly<kInverse>(w2r, w2s, ar, ai, cr, ci);
      Load(wc2, ws2, j + half, w2r, w2s);
      Butterfly<kInverse>(w2r, w2s, br, bi, dr, di);
      Store(r, q, a, ar, ai);
      Store(r, q, b, br, bi);
      Store(r, q, c, cr, ci);
      Store(r, q, d, dr, di);
    }
  }
}

[[gnu::always_inline]] inline void Swap(float& a, float& b) {
  const float t = a;
  a = b;
  b = t;
}

// Where the twiddles of the pass of span s (16 to 1024) begin in the per-pass tables.
constexpr size_t PassOffset(size_t span) { return span / 2 - kLanes; }

// The engine's transform runs the bins of one spectrum along memory. The band convolver keeps
// a transform of its own (64 points, one transform per vector lane across its filters): one
// routine for both would cost one of them its memory layout.
//
// Radix-2 decimation in time over `channels` channels at once (they share the twiddles; each
// channel sees exactly the operations a lone transform would); `permuted` says the input is
// already in bit-reversed order. Every pass runs the butterfly above eight at a time (narrow
// groups gathered by shuffles), the same arithmetic lane by lane as one butterfly at a time;
// wide passes go two at a time through memory. N is 1024 or 512; the twiddles are those of
// 1024 points either way, `pass_cos`, `pass_sin` those of each wide pass, contiguous. The
// inverse is scaled by 1/N only when `scale` is set (a power of two: the caller may apply it
// exactly elsewhere).
template <size_t N>
[[gnu::always_inline]] inline void TransformN(float* const* re, float* const* im,
                                              size_t channels, const float* twiddle_cos,
                                              const float* twiddle_sin, const float* pass_cos,
                                              const float* pass_sin, bool inverse,
                                              bool permuted, bool scale) {
  for (size_t c = 0; c < channels && !permuted; ++c) {
    float* r = re[c];
    float* q = im[c];
    for (const auto& [i, j] : kSwaps<N>) {
      Swap(r[i], r[j]);
      Swap(q[i], q[j]);
    }
  }
  for (size_t c = 0; c < channels; ++c) {
    if (inverse) {
      SmallSpanPasses<true, N>(re[c], im[c], twiddle_cos, twiddle_sin);
    } else {
      SmallSpanPasses<false, N>(re[c], im[c], twiddle_cos, twiddle_sin);
    }
  }
  size_t span = 2 * kLanes;
  for (; 2 * span <= N; span *= 4) {
    const float* wc1 = pass_cos + PassOffset(span);
    const float* ws1 = pass_sin + PassOffset(span);
    const float* wc2 = pass_cos + PassOffset(2 * span);
    const float* ws2 = pass_sin + PassOffset(2 * span);
    for (size_t c = 0; c < channels; ++c) {
      if (inverse) {
        WidePassPair<true, N>(re[c], im[c], span, wc1, ws1, wc2, ws2);
      } else {
        WidePassPair<false, N>(re[c], im[c], span, wc1, ws1, wc2, ws2);
      }
    }
  }
  if (span <= N) {
    const float* wc = pass_cos + PassOffset(span);
    const float* ws = pass_sin + PassOffset(span);
    for (size_t c = 0; c < channels; ++c) {
      if (inverse) {
        WidePass<true, N>(re[c], im[c], span, wc, ws);
      } else {
        WidePass<false, N>(re[c], im[c], span, wc, ws);
      }
    }
  }
  if (inverse && scale) {
    constexpr float kScale = 1.0f / static_cast<float>(N);  // exact: a power of two
    for (size_t c = 0; c < channels; ++c) {
      for (size_t i = 0; i < N; ++i) {
        re[c][i] *= kScale;
        im[c][i] *= kScale;
      }
    }
  }
}

HALVEX_AVX512_CLONES
void Transform(float* const* re, float* const* im, size_t channels, const float* twiddle_cos,
               const float* twiddle_sin, const float* pass_cos, const float* pass_sin,
               bool inverse, bool permuted) {
  TransformN<kFftSize>(re, im, channels, twiddle_cos, twiddle_sin, pass_cos, pass_sin, inverse,
                       permuted, true);
}

HALVEX_AVX512_CLONES
void HalfTransform(float* const* re, float* const* im, size_t channels, const float* twiddle_cos,
                   const float* twiddle_sin, const float* pass_cos, const float* pass_sin,
                   bool inverse, bool permuted, bool scale) {
  TransformN<kHalfSize>(re, im, channels, twiddle_cos, twiddle_sin, pass_cos, pass_sin, inverse,
                        permuted, scale);
}

// A real frame's spectrum from the half-size transform Z of its sample pairs (even samples
// real, odd imaginary), in place: with E = (Z[k] + conj Z[512 - k]) / 2 and
// O = (Z[k] - conj Z[512 - k]) / 2i, X[k] = E + W^k O and X[512 - k] = conj E + W^(512 - k) conj O.
// Bins k and 512 - k are done together, eight pairs at a time (the partners run backwards),
// so each pair is read before either is written; the upper half is the mirror. At k = 256 the
// pair is one bin and both formulas give the same value.
HALVEX_FMA_CLONES void SplitRealSpectrum(
    float* re, float* im, const float* twiddle_cos, const float* twiddle_sin) noexcept {
  {
    const float z_re = re[0];
    const float z_im = im[0];
    re[0] = z_re + z_im;
    im[0] = 0.0f;
    re[kHalfSize] = z_re - z_im;
    im[kHalfSize] = 0.0f;
  }
  for (size_t k = 1; k <= kHalfSize / 2; k += kLanes) {
    const size_t j = kHalfSize - k - (kLanes - 1);  // lowest partner of the eight
    const Float8 a_re = HALVEX_LOAD8(re + k);
    const Float8 a_im = HALVEX_LOAD8(im + k);
    const Float8 b_re = HALVEX_REVERSE8(Float8(HALVEX_LOAD8(re + j)));
    const Float8 b_im = HALVEX_REVERSE8(Float8(HALVEX_LOAD8(im + j)));
    const Float8 e_re = 0.5f * (a_re + b_re);
    const Float8 e_im = 0.5f * (a_im - b_im);
    const Float8 o_re = 0.5f * (a_im + b_im);
    const Float8 o_im = 0.5f * (b_re - a_re);
    const Float8 wk_re = HALVEX_LOAD8(twiddle_cos + k);
    const Float8 wk_im = HALVEX_LOAD8(twiddle_sin + k);
    const Float8 wj_re = HALVEX_REVERSE8(Float8(HALVEX_LOAD8(twiddle_cos + j)));
    const Float8 wj_im = HALVEX_REVERSE8(Float8(HALVEX_LOAD8(twiddle_sin + j)));
    const Float8 xk_re = e_re + (wk_re * o_re - wk_im * o_im);
    const Float8 xk_im = e_im + (wk_re * o_im + wk_im * o_re);
    const Float8 xj_re = e_re + (wj_re * o_re + wj_im * o_im);
    const Float8 xj_im = -e_im + (wj_im * o_re - wj_re * o_im);
    // Bins k, 1024 - k, 512 - k and 512 + k.
    HALVEX_STORE8(re + k, xk_re);
    HALVEX_STORE8(im + k, xk_im);
    HALVEX_STORE8(re + kFftSize - k - (kLanes - 1), HALVEX_REVERSE8(Float8(xk_re)));
    HALVEX_STORE8(im + kFftSize - k - (kLanes - 1), HALVEX_REVERSE8(Float8(-xk_im)));
    HALVEX_STORE8(re + j, HALVEX_REVERSE8(Float8(xj_re)));
    HALVEX_STORE8(im + j, HALVEX_REVERSE8(Float8(xj_im)));
    HALVEX_STORE8(re + kHalfSize + k, xj_re);
    HALVEX_STORE8(im + kHalfSize + k, -xj_im);
  }
}

// The reverse for a conjugate-symmetric spectrum, in place: Z[k] = E + i O with
// E = (X[k] + X[k + 512]) / 2 and O = (X[k] - X[k + 512]) conj W^k / 2, for k below 512.
HALVEX_FMA_CLONES void JoinRealSpectrum(
    float* re, float* im, const float* twiddle_cos, const float* twiddle_sin) noexcept {
  for (size_t k = 0; k < kHalfSize; k += kLanes) {
    const Float8 a_re = HALVEX_LOAD8(re + k);
    const Float8 a_im = HALVEX_LOAD8(im + k);
    const Float8 b_re = HALVEX_LOAD8(re + k + kHalfSize);
    const Float8 b_im = HALVEX_LOAD8(im + k + kHalfSize);
    const Float8 e_re = 0.5f * (a_re + b_re);
    const Float8 e_im = 0.5f * (a_im + b_im);
    const Float8 d_re = 0.5f * (a_re - b_re);
    const Float8 d_im = 0.5f * (a_im - b_im);
    const Float8 w_re = HALVEX_LOAD8(twiddle_cos + k);
    const Float8 w_im = -HALVEX_LOAD8(twiddle_sin + k);
    const Float8 o_re = d_re * w_re - d_im * w_im;
    const Float8 o_im = d_re * w_im + d_im * w_re;
    HALVEX_STORE8(re + k, e_re - o_im);
    HALVEX_STORE8(im + k, e_im + o_re);
  }
}

// Adds a resynthesised frame, given as the unscaled half-size inverse transform's output (sample
// 2m in re[m], sample 2m + 1 in im[m]), to a ring of accumulators from `pos` on, windowed and
// halved. The transform's 1/512 joins the 0.5 in the window's factor: both are powers of two,
// so (w / 1024) * x is exactly (0.5 w) * (x / 512).
HALVEX_FMA_CLONES void OverlapAdd(
    const float* re, const float* im, const float* window, float* ring, size_t pos) noexcept {
  for (size_t m = 0; m < kHalfSize; m += kLanes) {
    const size_t n = 2 * m;
    const Float8 y_re = HALVEX_LOAD8(re + m);
    const Float8 y_im = HALVEX_LOAD8(im + m);
    const Float8 lo = __builtin_shufflevector(y_re, y_im, 0, 8, 1, 9, 2, 10, 3, 11);
    const Float8 hi = __builtin_shufflevector(y_re, y_im, 4, 12, 5, 13, 6, 14, 7, 15);
    constexpr float kScale = 0.5f / static_cast<float>(kHalfSize);
    const Float8 w_lo = kScale * HALVEX_LOAD8(window + n);
    const Float8 w_hi = kScale * HALVEX_LOAD8(window + n + kLanes);
    const size_t i = (pos + n) & kOutputMask;
    if (i + 2 * kLanes <= kOutputMask + 1) {
      HALVEX_STORE8(ring + i, HALVEX_LOAD8(ring + i) + w_lo * lo);
      HALVEX_STORE8(ring + i + kLanes, HALVEX_LOAD8(ring + i + kLanes) + w_hi * hi);
    } else {
      // The ring wraps inside these sixteen.
      for (size_t t = 0; t < kLanes; ++t) {
        ring[(i + t) & kOutputMask] += w_lo[t] * lo[t];
        ring[(i + kLanes + t) & kOutputMask] += w_hi[t] * hi[t];
      }
    }
  }
}

// The ring's frames oldest first (the oldest at `pos`), each times its window value.
HALVEX_FMA_CLONES void WindowInOrder(const float* ring, const float* window, size_t pos,
                                     float* out) noexcept {
  const size_t tail = kFftSize - pos;
  std::memcpy(out, ring + pos, tail * sizeof(float));
  std::memcpy(out + tail, ring, pos * sizeof(float));
  for (size_t n = 0; n < kFftSize; n += kLanes) {
    HALVEX_STORE8(out + n, HALVEX_LOAD8(window + n) * HALVEX_LOAD8(out + n));
  }
}


// dst[rev(m)] = src[m] over the half size's 9-bit reversal. m's bits split into three groups
// of three, a b c, and rev(m) is rev(c) rev(b) rev(a): for each b, the eight rows a (taken in
// reversed order) of eight c form a block whose transpose has each rev(c)'s eight values in
// their final order.
[[gnu::always_inline]] inline void BitReverseCopy(const float* src, float* dst) noexcept {
  static_assert(kHalfSize == 512);
  constexpr size_t kRev3[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  // Unrolled whole, so that every row's address is a constant offset and the rows stay in
  // registers.
#pragma GCC unroll 8
  for (size_t b = 0; b < 8; ++b) {
    Float8 rows[8];
#pragma GCC unroll 8
    for (size_t k = 0; k < 8; ++k) Load8(rows[k], src + kRev3[k] * 64 + b * 8);
    Transpose8x8(rows);
#pragma GCC unroll 8
    for (size_t c = 0; c < 8; ++c) Store8(dst + kRev3[c] * 64 + kRev3[b] * 8, rows[c]);
  }
}

// The windowed frame's sample pairs (2m, 2m + 1) to re and im at m's bit-reversed place.
HALVEX_FMA_CLONES void PairsBitReversed(const float* windowed, float* re, float* im) noexcept {
  alignas(32) std::array<float, kHalfSize> even;
  alignas(32) std::array<float, kHalfSize> odd;
  for (size_t n = 0; n < kFftSize; n += 2 * kLanes) {
    Float8 a, b;
    Load8(a, windowed + n);
    Load8(b, windowed + n + kLanes);
    Store8(even.data() + n / 2, __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14));
    Store8(odd.data() + n / 2, __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15));
  }
  BitReverseCopy(even.data(), re);
  BitReverseCopy(odd.data(), im);
}

}  // namespace

void WolaEngine::Configure() {
  constexpr double pi = std::numbers::pi;
  for (size_t n = 0; n < kFftSize; ++n) {
    const double phase = 2.0 * pi * static_cast<double>(n) / static_cast<double>(kFftSize);
    window[n] = static_cast<float>(std::sqrt(0.5 - 0.5 * std::cos(phase)));
  }
  for (size_t k = 0; k < twiddle_cos.size(); ++k) {
    const double phase = -2.0 * pi * static_cast<double>(k) / static_cast<double>(kFftSize);
    twiddle_cos[k] = static_cast<float>(std::cos(phase));
    twiddle_sin[k] = static_cast<float>(std::sin(phase));
  }
  for (size_t span = 2 * kLanes; span <= kFftSize; span *= 2) {
    for (size_t j = 0; j < span / 2; ++j) {
      pass_cos[PassOffset(span) + j] = twiddle_cos[j * (kFftSize / span)];
      pass_sin[PassOffset(span) + j] = twiddle_sin[j * (kFftSize / span)];
    }
  }
  Reset();
}

void WolaEngine::Reset() {
  input_left.fill(0.0f);
  input_right.fill(0.0f);
  output_left.fill(0.0f);
  output_right.fill(0.0f);
  input_pos = 0;
  output_pos = 0;
  hop_count = 0;
}

void WolaEngine::Fft(std::array<float, kFftSize>& re, std::array<float, kFftSize>& im,
                     bool inverse) const noexcept {
  float* re_ptr[1] = {re.data()};
  float* im_ptr[1] = {im.data()};
  Transform(re_ptr, im_ptr, 1, twiddle_cos.data(), twiddle_sin.data(), pass_cos.data(),
            pass_sin.data(), inverse, false);
}

// Each channel is a real signal, so its spectrum comes from a transform of half the size
// over its sample pairs; both channels see exactly the same operations.
void WolaEngine::AnalyseFrame(SpectrumTransform& transform) noexcept {
  // Oldest frame first: input_pos is where the next frame will be written. The rings are laid
  // out in time order and windowed as vectors; then each windowed pair goes straight to its
  // bit-reversed place, which saves the transform's own permutation.
  alignas(32) std::array<float, kFftSize> left;
  alignas(32) std::array<float, kFftSize> right;
  WindowInOrder(input_left.data(), window.data(), input_pos, left.data());
  WindowInOrder(input_right.data(), window.data(), input_pos, right.data());
  PairsBitReversed(left.data(), spectrum.left_re.data(), spectrum.left_im.data());
  PairsBitReversed(right.data(), spectrum.right_re.data(), spectrum.right_im.data());
  float* re[2] = {spectrum.left_re.data(), spectrum.right_re.data()};
  float* im[2] = {spectrum.left_im.data(), spectrum.right_im.data()};
  HalfTransform(re, im, 2, twiddle_cos.data(), twiddle_sin.data(), pass_cos.data(),
                pass_sin.data(), false, true, false);
  for (size_t c = 0; c < 2; ++c) {
    SplitRealSpectrum(re[c], im[c], twiddle_cos.data(), twiddle_sin.data());
  }
  transform.Apply(spectrum);
}

void WolaEngine::TransformFrame(SpectrumTransform& transform) noexcept {
  AnalyseFrame(transform);
  // Back through the half-size transform: sample 2m is the real part of its output m,
  // sample 2m + 1 the imaginary part.
  float* re[2] = {spectrum.left_re.data(), spectrum.right_re.data()};
  float* im[2] = {spectrum.left_im.data(), spectrum.right_im.data()};
  for (size_t c = 0; c < 2; ++c) {
    JoinRealSpectrum(re[c], im[c], twiddle_cos.data(), twiddle_sin.data());
  }
  // Square-root Hann on both sides at a quarter-frame hop overlaps to 2; OverlapAdd's 0.5 undoes
  // it, and it applies the inverse's 1/512 too.
  HalfTransform(re, im, 2, twiddle_cos.data(), twiddle_sin.data(), pass_cos.data(),
                pass_sin.data(), true, false, false);
  OverlapAdd(spectrum.left_re.data(), spectrum.left_im.data(), window.data(),
             output_left.data(), output_pos);
  OverlapAdd(spectrum.right_re.data(), spectrum.right_im.data(), window.data(),
             output_right.data(), output_pos);
}

void WolaEngine::ProcessBlock(const StereoSample* in, StereoSample* out, size_t frames,
                              SpectrumTransform& transform) noexcept {
  // In runs that end where Process would run a transform, so inside a run only samples move.
  while (frames > 0) {
    const size_t run = std::min(frames, kWolaHop - hop_count);
    for (size_t i = 0; i < run; ++i) {
      const size_t at = (input_pos + i) & kInputMask;
      input_left[at] = in[i].left;
      input_right[at] = in[i].right;
      const size_t from = (output_pos + i) & kOutputMask;
      out[i] = {output_left[from], output_right[from]};
      output_left[from] = 0.0f;
      output_right[from] = 0.0f;
    }
    input_pos = (input_pos + run) & kInputMask;
    output_pos = (output_pos + run) & kOutputMask;
    hop_count += run;
    if (hop_count == kWolaHop) {
      hop_count = 0;
      TransformFrame(transform);
    }
    in += run;
    out += run;
    frames -= run;
  }
}

void WolaEngine::Analyse(float left, float right, SpectrumTransform& transform) noexcept {
  input_left[input_pos] = left;
  input_right[input_pos] = right;
  input_pos = (input_pos + 1) & kInputMask;
  if (hop_count == kWolaHop - 1) {
    hop_count = 0;
    AnalyseFrame(transform);
  } else {
    ++hop_count;
  }
}

size_t WolaEngine::AnalyseRun(const StereoSample* in, size_t count,
                              SpectrumTransform& transform) noexcept {
  const size_t run = std::min(count, kWolaHop - hop_count);
  for (size_t i = 0; i < run; ++i) {
    const size_t at = (input_pos + i) & kInputMask;
    input_left[at] = in[i].left;
    input_right[at] = in[i].right;
  }
  input_pos = (input_pos + run) & kInputMask;
  hop_count += run;
  if (hop_count == kWolaHop) {
    hop_count = 0;
    AnalyseFrame(transform);
  }
  return run;
}

}  // namespace halvex
