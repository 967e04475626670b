#include "core/dsp/filters/band_convolver.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <numbers>

namespace halvex {

namespace {

constexpr size_t kLanes = BandConvolver::kLanes;

// W filters of a lane row as one native vector (16 with AVX-512, 8 with AVX2, 4 otherwise),
// read and written in place so no vector crosses a call boundary: the builds for different
// instruction sets would pass it differently.
// (A typedef in a class template: GCC drops the attribute on an alias template.)
template <size_t W>
struct Native {
  typedef float Vec __attribute__((vector_size(W * sizeof(float))));
  typedef float Alias __attribute__((vector_size(W * sizeof(float)), may_alias));
};
template <size_t W>
using VecOf = typename Native<W>::Vec;
template <size_t W>
using VecAliasOf = typename Native<W>::Alias;
#define HALVEX_SLICE(lanes, s) \
  (*reinterpret_cast<VecAliasOf<W>*>((lanes).v.data() + (s) * W))
#define HALVEX_CSLICE(lanes, s) \
  (*reinterpret_cast<const VecAliasOf<W>*>((lanes).v.data() + (s) * W))

// Keeps v in a vector register at this point (changes no value): the compiler would
// otherwise reload it from memory at each use.
template <typename V>
[[gnu::always_inline]] inline void InRegister(V& v) {
  asm("" : "+v"(v));
}

template <size_t Fft>
constexpr std::array<uint8_t, Fft> kBitReversed = [] {
  constexpr size_t bits = std::bit_width(Fft) - 1;
  static_assert(Fft == size_t{1} << bits && Fft <= 256, "a power of two, as uint8_t");
  std::array<uint8_t, Fft> r{};
  for (size_t i = 0; i < Fft; ++i) {
    size_t reversed = 0;
    for (size_t b = 0; b < bits; ++b) reversed |= ((i >> b) & 1u) << (bits - 1 - b);
    r[i] = static_cast<uint8_t>(reversed);
  }
  return r;
}();

// A transform of its own, not the spectral engine's (wola.cpp): that one runs the 1024 bins of
// one spectrum along memory; this one runs 64 or 128 points with one transform per vector lane (16
// filters side by side) and passes that may stop at a given span. One routine for both would
// cost one of them its memory layout.
//
// Radix-2 passes of a decimation-in-time transform over input in bit-reversed order, spans
// Span up to LastSpan. T is a float or a vector of filters (one transform per lane); the
// twiddle of a pass is (wc[j], sign * ws[j]) at stride Fft / span. Every butterfly computes
// t = w * x[odd] as (wr xr - wi xi, wr xi + wi xr), then x[odd] = x[even] - t, x[even] += t.
// The spans are compile-time so that every pass unrolls whole.
template <size_t Fft, size_t Span, size_t LastSpan, typename T>
[[gnu::always_inline]] inline void Passes(T* re, T* im, const float* wc, const float* ws,
                                          float sign) {
  if constexpr (Span <= LastSpan) {
    constexpr size_t half = Span / 2;
    constexpr size_t stride = Fft / Span;
#pragma GCC unroll 32
    for (size_t start = 0; start < Fft; start += Span) {
#pragma GCC unroll 16
      for (size_t j = 0; j < half; ++j) {
        const float wr = wc[j * stride];
        const float wi = sign * ws[j * stride];
        const T odd_re = re[start + j + half];
        const T odd_im = im[start + j + half];
        const T tr = odd_re * wr - odd_im * wi;
        const T ti = odd_im * wr + odd_re * wi;
        const T even_re = re[start + j];
        const T even_im = im[start + j];
        re[start + j + half] = even_re - tr;
        im[start + j + half] = even_im - ti;
        re[start + j] = even_re + tr;
        im[start + j] = even_im + ti;
      }
    }
    Passes<Fft, 2 * Span, LastSpan>(re, im, wc, ws, sign);
  }
}

// The same passes over floats, W butterflies at a time where a pass's half span holds W;
// `twiddles` are per pass, contiguous: pass of half span h at offset h - 1. Half spans from
// Half on, compile-time so that every pass unrolls whole.
template <size_t Fft, size_t W, size_t Half = 1>
[[gnu::always_inline]] inline void ForwardPasses(float* re, float* im, const float* tw_cos,
                                                 const float* tw_sin) {
  if constexpr (Half < Fft) {
    using V = typename Native<W>::Vec;
    constexpr size_t half = Half;
    const float* wc = tw_cos + half - 1;
    const float* ws = tw_sin + half - 1;
#pragma GCC unroll 32
    for (size_t start = 0; start < Fft; start += 2 * half) {
      if constexpr (half < W) {
#pragma GCC unroll 8
        for (size_t j = 0; j < half; ++j) {
          const float odd_re = re[start + j + half];
          const float odd_im = im[start + j + half];
          const float tr = odd_re * wc[j] - odd_im * ws[j];
          const float ti = odd_im * wc[j] + odd_re * ws[j];
          const float even_re = re[start + j];
          const float even_im = im[start + j];
          re[start + j + half] = even_re - tr;
          im[start + j + half] = even_im - ti;
          re[start + j] = even_re + tr;
          im[start + j] = even_im + ti;
        }
      } else {
#pragma GCC unroll 4
        for (size_t j = 0; j < half; j += W) {
          V wr, wi, odd_re, odd_im, even_re, even_im;
          std::memcpy(&wr, wc + j, sizeof(V));
          std::memcpy(&wi, ws + j, sizeof(V));
          std::memcpy(&odd_re, re + start + j + half, sizeof(V));
          std::memcpy(&odd_im, im + start + j + half, sizeof(V));
          std::memcpy(&even_re, re + start + j, sizeof(V));
          std::memcpy(&even_im, im + start + j, sizeof(V));
          const V tr = odd_re * wr - odd_im * wi;
          const V ti = odd_im * wr + odd_re * wi;
          const V new_odd_re = even_re - tr;
          const V new_odd_im = even_im - ti;
          const V new_even_re = even_re + tr;
          const V new_even_im = even_im + ti;
          std::memcpy(re + start + j + half, &new_odd_re, sizeof(V));
          std::memcpy(im + start + j + half, &new_odd_im, sizeof(V));
          std::memcpy(re + start + j, &new_even_re, sizeof(V));
          std::memcpy(im + start + j, &new_even_im, sizeof(V));
        }
      }
    }
    ForwardPasses<Fft, W, 2 * Half>(re, im, tw_cos, tw_sin);
  }
}

}  // namespace

template <size_t B>
struct BandConvolverKernels {
  using C = BandConvolverOf<B>;
  using Group = typename C::Group;
  static constexpr size_t kBlock = B;
  static constexpr size_t kFft = C::kFft;
  static constexpr size_t kParts = C::kParts;

  // Floats per row of spectra in the build of width W.
  template <size_t W>
  static constexpr size_t Row() {
    return 3 * kFft * W;
  }

  // Partitions First on, for the block of the last kBlock frames in block_left_ and
  // block_right_: the spectrum of the last two blocks joins the spectrum line, every filter's
  // partitions multiply the line (overlap save), and the second half of each inverse transform
  // goes to the tail arrays. First 1 (Process): the block just ended, so partition 1 meets it
  // and the result is the tail of the block that starts now. First 0 (FilterBlock): the block
  // just given, so partition 0 meets it and the result is the whole output of that block.
  template <size_t W, size_t First>
  [[gnu::always_inline]] static inline void Block(C& c) noexcept {
    using V = VecOf<W>;
    c.spectrum_pos_ = (c.spectrum_pos_ + 1) % kParts;
    float zr[kFft];
    float zi[kFft];
    for (size_t t = 0; t < kFft; ++t) {
      zr[kBitReversed<kFft>[t]] = c.block_left_[t];
      zi[kBitReversed<kFft>[t]] = c.block_right_[t];
    }
    ForwardPasses<kFft, (W < 8 ? W : 8)>(zr, zi, c.pass_cos_.data(), c.pass_sin_.data());
    float* row = c.spectra_.data() + c.spectrum_pos_ * Row<W>();
    float* copy = row + kParts * Row<W>();
    for (size_t k = 0; k < kFft; ++k) {
      // x - 0 is x, a zero's sign included.
      const V re = zr[k] - V{};
      const V im = zi[k] - V{};
      const V sum = (zr[k] + zi[k]) - V{};
      for (float* r : {row, copy}) {
        std::memcpy(r + k * W, &re, sizeof(V));
        std::memcpy(r + (kFft + k) * W, &im, sizeof(V));
        std::memcpy(r + (2 * kFft + k) * W, &sum, sizeof(V));
      }
    }
    std::copy(c.block_left_.begin() + kBlock, c.block_left_.end(), c.block_left_.begin());
    std::copy(c.block_right_.begin() + kBlock, c.block_right_.end(), c.block_right_.begin());

    // Partition p meets the spectrum pushed p - First blocks ago, (p - First) rows before the
    // newest's second copy.
    const float* newest = copy;
    for (size_t g = 0; g < c.group_count_; ++g) {
      for (size_t slice = 0; slice < kLanes / W; ++slice) {
        TailSlice<W, First>(c, c.groups_[g], slice, newest);
      }
    }
  }

  // One slice of W filters of a group: the partitions times the spectrum line, then the
  // inverse transform. A real filter's bin kFft - k is the conjugate of bin k, so each pair of
  // bins shares its loads.
  template <size_t W, size_t First>
  [[gnu::always_inline]] static inline void TailSlice(
      C& c, Group& group, size_t slice, const float* newest) noexcept {
    using V = VecOf<W>;
    V yr[kFft];
    V yi[kFft];
    constexpr size_t kHalf = kFft / 2;
    // Each product H Z (H = c + id, Z = a + ib) in three multiplies: with k1 = c (a + b),
    // k2 = a (d - c) and k3 = b (c + d), H Z = (k1 - k3) + i (k1 + k2); for the conjugate
    // bin, conj(H) Z = (k1 + b (d - c)) + i (k1 - a (c + d)). The three products are summed
    // over the partitions apart and combined once per bin.
    // Bins 0 and kFft / 2 are their own partners: their conjugate results are written first and
    // overwritten by the direct ones.
    for (size_t k = 0; k <= kHalf; ++k) {
      const size_t m = (kFft - k) % kFft;
      V k1 = {};
      V k2 = {};
      V k3 = {};
      V m1 = {};
      V m2 = {};
      V m3 = {};
#pragma GCC unroll 8
      for (size_t p = First; p < kParts; ++p) {
        V hc = HALVEX_CSLICE(group.part_c[p][k], slice);
        V hd = HALVEX_CSLICE(group.part_d[p][k], slice);
        V hs = HALVEX_CSLICE(group.part_s[p][k], slice);
        // Each factor meets two spectrum values: held in registers, the spectrum values are
        // the multiplies' memory operands and no load is repeated.
        InRegister(hc);
        InRegister(hd);
        InRegister(hs);
        const float* spectrum = newest - (p - First) * Row<W>();
        V zr_k, zi_k, zs_k, zr_m, zi_m, zs_m;
        std::memcpy(&zr_k, spectrum + k * W, sizeof(V));
        std::memcpy(&zi_k, spectrum + (kFft + k) * W, sizeof(V));
        std::memcpy(&zs_k, spectrum + (2 * kFft + k) * W, sizeof(V));
        std::memcpy(&zr_m, spectrum + m * W, sizeof(V));
        std::memcpy(&zi_m, spectrum + (kFft + m) * W, sizeof(V));
        std::memcpy(&zs_m, spectrum + (2 * kFft + m) * W, sizeof(V));
        k1 += hc * zs_k;
        k2 += hd * zr_k;
        k3 += hs * zi_k;
        m1 += hc * zs_m;
        m2 += hs * zr_m;
        m3 += hd * zi_m;
      }
      yr[kBitReversed<kFft>[m]] = m1 + m3;
      yi[kBitReversed<kFft>[m]] = m1 - m2;
      yr[kBitReversed<kFft>[k]] = k1 - k3;
      yi[kBitReversed<kFft>[k]] = k1 + k2;
    }
    Passes<kFft, 2, kHalf>(yr, yi, c.twiddle_cos_.data(), c.twiddle_sin_.data(), -1.0f);
    // Of the last pass only the odd half is kept: the outputs of the circular wrap are not.
    for (size_t j = 0; j < kBlock; ++j) {
      const float wr = c.twiddle_cos_[j];
      const float wi = -c.twiddle_sin_[j];
      const V tr = yr[j + kBlock] * wr - yi[j + kBlock] * wi;
      const V ti = yi[j + kBlock] * wr + yr[j + kBlock] * wi;
      HALVEX_SLICE(group.tail_left[j], slice) = yr[j] - tr;
      HALVEX_SLICE(group.tail_right[j], slice) = yi[j] - ti;
    }
  }

  // The head taps of this frame plus the block's tail. Four fixed partial sums per channel
  // (tap k goes to sum k % 4), so the chains of additions overlap.
  template <size_t W>
  [[gnu::always_inline]] static inline void Frame(const C& c, float* out_left,
                                                  float* out_right) noexcept {
    using V = VecOf<W>;
    const float* xl = c.line_left_.data() + c.line_pos_;
    const float* xr = c.line_right_.data() + c.line_pos_;
    for (size_t g = 0; g < c.group_count_; ++g) {
      const Group& group = c.groups_[g];
      for (size_t slice = 0; slice < kLanes / W; ++slice) {
        V al0 = {}, al1 = {}, al2 = {}, al3 = {};
        V ar0 = {}, ar1 = {}, ar2 = {}, ar3 = {};
#pragma GCC unroll 8
        for (size_t k = 0; k < kBlock; k += 4) {
          const V h0 = HALVEX_CSLICE(group.head[k], slice);
          const V h1 = HALVEX_CSLICE(group.head[k + 1], slice);
          const V h2 = HALVEX_CSLICE(group.head[k + 2], slice);
          const V h3 = HALVEX_CSLICE(group.head[k + 3], slice);
          al0 += h0 * xl[k];
          ar0 += h0 * xr[k];
          al1 += h1 * xl[k + 1];
          ar1 += h1 * xr[k + 1];
          al2 += h2 * xl[k + 2];
          ar2 += h2 * xr[k + 2];
          al3 += h3 * xl[k + 3];
          ar3 += h3 * xr[k + 3];
        }
        const V tail_l = HALVEX_CSLICE(group.tail_left[c.frame_], slice);
        const V tail_r = HALVEX_CSLICE(group.tail_right[c.frame_], slice);
        const V yl = ((al0 + al1) + (al2 + al3)) + tail_l;
        const V yr = ((ar0 + ar1) + (ar2 + ar3)) + tail_r;
        std::memcpy(out_left + g * kLanes + slice * W, &yl, sizeof yl);
        std::memcpy(out_right + g * kLanes + slice * W, &yr, sizeof yr);
      }
    }
  }
};

namespace {

// One build per instruction set, chosen at Configure. Products and sums stay separate (no
// contraction), so every build rounds identically.
template <size_t B, size_t W>
struct KernelsOf {
  using K = BandConvolverKernels<B>;
  [[gnu::always_inline]] static inline void Tail(BandConvolverOf<B>& c) noexcept {
    K::template Block<W, 1>(c);
  }
  [[gnu::always_inline]] static inline void Whole(BandConvolverOf<B>& c) noexcept {
    K::template Block<W, 0>(c);
  }
  [[gnu::always_inline]] static inline void Frame(const BandConvolverOf<B>& c, float* l,
                                                  float* r) noexcept {
    K::template Frame<W>(c, l, r);
  }
};
template <size_t B>
__attribute__((target("arch=x86-64-v4"))) void TailV4(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 16>::Tail(c);
}
template <size_t B>
__attribute__((target("arch=x86-64-v4"))) void WholeV4(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 16>::Whole(c);
}
template <size_t B>
__attribute__((target("arch=x86-64-v4"))) void FrameV4(const BandConvolverOf<B>& c, float* l,
                                                       float* r) noexcept {
  KernelsOf<B, 16>::Frame(c, l, r);
}
template <size_t B>
__attribute__((target("arch=x86-64-v3"))) void TailV3(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 8>::Tail(c);
}
template <size_t B>
__attribute__((target("arch=x86-64-v3"))) void WholeV3(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 8>::Whole(c);
}
template <size_t B>
__attribute__((target("arch=x86-64-v3"))) void FrameV3(const BandConvolverOf<B>& c, float* l,
                                                       float* r) noexcept {
  KernelsOf<B, 8>::Frame(c, l, r);
}
template <size_t B>
void TailBaseline(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 4>::Tail(c);
}
template <size_t B>
void WholeBaseline(BandConvolverOf<B>& c) noexcept {
  KernelsOf<B, 4>::Whole(c);
}
template <size_t B>
void FrameBaseline(const BandConvolverOf<B>& c, float* l, float* r) noexcept {
  KernelsOf<B, 4>::Frame(c, l, r);
}

}  // namespace

template <size_t B>
void BandConvolverOf<B>::Configure(const float* rows, size_t count, SplitLevel level) {
  count_ = std::min(count, kMaxFilters);
  group_count_ = (count_ + kLanes - 1) / kLanes;
  for (Group& group : groups_) group = Group{};

  constexpr double pi = std::numbers::pi;
  std::array<double, kFft> cos_table{};
  std::array<double, kFft> sin_table{};
  for (size_t n = 0; n < kFft; ++n) {
    const double phase = -2.0 * pi * static_cast<double>(n) / static_cast<double>(kFft);
    cos_table[n] = std::cos(phase);
    sin_table[n] = std::sin(phase);
  }
  for (size_t j = 0; j < kFft / 2; ++j) {
    twiddle_cos_[j] = static_cast<float>(cos_table[j]);
    twiddle_sin_[j] = static_cast<float>(sin_table[j]);
  }
  for (size_t half = 1; half < kFft; half *= 2) {
    for (size_t j = 0; j < half; ++j) {
      pass_cos_[half - 1 + j] = twiddle_cos_[j * (kFft / (2 * half))];
      pass_sin_[half - 1 + j] = twiddle_sin_[j * (kFft / (2 * half))];
    }
  }

  for (size_t f = 0; f < count_; ++f) {
    Group& group = groups_[f / kLanes];
    const size_t lane = f % kLanes;
    const float* h = rows + f * kTaps;
    for (size_t k = 0; k < kBlock; ++k) group.head[k].v[lane] = h[k];
    // Partition spectra in double, rounded once; the 1 / kFft of the inverse transform is a power
    // of two, so folding it in here changes no bits.
    for (size_t p = 0; p < kParts; ++p) {
      const float* part = h + kBlock * p;
      for (size_t bin = 0; bin < kBins; ++bin) {
        double re = 0.0;
        double im = 0.0;
        for (size_t k = 0; k < kBlock; ++k) {
          const size_t n = (bin * k) % kFft;
          re += static_cast<double>(part[k]) * cos_table[n];
          im += static_cast<double>(part[k]) * sin_table[n];
        }
        re /= static_cast<double>(kFft);
        im /= static_cast<double>(kFft);
        group.part_c[p][bin].v[lane] = static_cast<float>(re);
        group.part_d[p][bin].v[lane] = static_cast<float>(im - re);
        group.part_s[p][bin].v[lane] = static_cast<float>(re + im);
      }
    }
  }

  builds_ = PickBuild<Builds>(level, {TailBaseline<B>, WholeBaseline<B>, FrameBaseline<B>},
                              {TailV3<B>, WholeV3<B>, FrameV3<B>},
                              {TailV4<B>, WholeV4<B>, FrameV4<B>});
  Reset();
}

template <size_t B>
void BandConvolverOf<B>::Reset() {
  for (Group& group : groups_) {
    for (Lanes& l : group.tail_left) l.v.fill(0.0f);
    for (Lanes& l : group.tail_right) l.v.fill(0.0f);
  }
  spectra_.fill(0.0f);
  spectrum_pos_ = 0;
  block_left_.fill(0.0f);
  block_right_.fill(0.0f);
  line_left_.fill(0.0f);
  line_right_.fill(0.0f);
  line_pos_ = 0;
  frame_ = 0;
}

template <size_t B>
void BandConvolverOf<B>::Process(float left, float right, float* out_left,
                            float* out_right) noexcept {
  if (count_ == 0) return;
  if (frame_ == 0) builds_.tail(*this);
  line_pos_ = line_pos_ == 0 ? kBlock - 1 : line_pos_ - 1;
  line_left_[line_pos_] = left;
  line_left_[line_pos_ + kBlock] = left;
  line_right_[line_pos_] = right;
  line_right_[line_pos_ + kBlock] = right;
  block_left_[kBlock + frame_] = left;
  block_right_[kBlock + frame_] = right;
  builds_.frame(*this, out_left, out_right);
  frame_ = frame_ + 1 == kBlock ? 0 : frame_ + 1;
}

template <size_t B>
void BandConvolverOf<B>::FilterBlock(const float* left, const float* right) noexcept {
  if (count_ == 0) return;
  std::copy(left, left + kBlock, block_left_.begin() + kBlock);
  std::copy(right, right + kBlock, block_right_.begin() + kBlock);
  builds_.whole(*this);
}

template <size_t B>
void BandConvolverOf<B>::BlockOutput(size_t frame, float* out_left,
                                     float* out_right) const noexcept {
  for (size_t g = 0; g < group_count_; ++g) {
    std::copy(groups_[g].tail_left[frame].v.begin(), groups_[g].tail_left[frame].v.end(),
              out_left + g * kLanes);
    std::copy(groups_[g].tail_right[frame].v.begin(), groups_[g].tail_right[frame].v.end(),
              out_right + g * kLanes);
  }
}

template class BandConvolverOf<32>;
template class BandConvolverOf<64>;

#undef HALVEX_SLICE
#undef HALVEX_CSLICE

}  // namespace halvex
