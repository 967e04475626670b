#include "core/dsp/filters/fir_filter.h"

#include <algorithm>
#include <cstring>

#include "core/dsp/kit/multiversion.h"
#include "core/dsp/kit/vector_kit.h"

namespace halvex {

namespace {

// The order of summation of the inner product is free; we fix it so that SSE, AVX2 and any
// other build produce the same bits: 32 partial sums (four 8-lane vectors, enough independent
// chains to hide the add latency), lane j taking every k with k % 32 == j, the tail added
// lane by lane, and the lanes combined pairwise in a fixed tree.
constexpr size_t kLanes = 8;
constexpr size_t kBlock = 4 * kLanes;

// Mul and add stay separate (no fma) so both clones round identically.
HALVEX_FMA_CLONES
float Dot(const float* c, const float* h, size_t n) {
  Float8 a0 = {};
  Float8 a1 = {};
  Float8 a2 = {};
  Float8 a3 = {};
  size_t k = 0;
  for (; k + kBlock <= n; k += kBlock) {
    Float8 c0, c1, c2, c3, h0, h1, h2, h3;  // unaligned loads
    std::memcpy(&c0, c + k, sizeof(c0));
    std::memcpy(&c1, c + k + kLanes, sizeof(c1));
    std::memcpy(&c2, c + k + 2 * kLanes, sizeof(c2));
    std::memcpy(&c3, c + k + 3 * kLanes, sizeof(c3));
    std::memcpy(&h0, h + k, sizeof(h0));
    std::memcpy(&h1, h + k + kLanes, sizeof(h1));
    std::memcpy(&h2, h + k + 2 * kLanes, sizeof(h2));
    std::memcpy(&h3, h + k + 3 * kLanes, sizeof(h3));
    a0 += c0 * h0;
    a1 += c1 * h1;
    a2 += c2 * h2;
    a3 += c3 * h3;
  }
  if (k == n) {
    // No tail: the first two levels of the tree as whole vectors, then within one vector.
    const Float8 s = (a0 + a2) + (a1 + a3);
    return ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]));
  }
  float lane[kBlock];
  std::memcpy(lane, &a0, sizeof(a0));
  std::memcpy(lane + kLanes, &a1, sizeof(a1));
  std::memcpy(lane + 2 * kLanes, &a2, sizeof(a2));
  std::memcpy(lane + 3 * kLanes, &a3, sizeof(a3));
  for (size_t j = 0; k + j < n; ++j) lane[j] += c[k + j] * h[k + j];
  for (size_t width = kBlock / 2; width > 0; width /= 2) {
    for (size_t j = 0; j < width; ++j) lane[j] += lane[j + width];
  }
  return lane[0];
}

}  // namespace

void FirFilter::SetCoeffs(const FirCoeffs& c, size_t tap_count) {
  coeffs = c;
  // A length of 0 would wrap `pos` and one above 256 would write past the line: clamp here,
  // once, rather than test in Process.
  taps = std::clamp<size_t>(tap_count, 1, kFirMaxTaps);
  Reset();
}

void FirFilter::Reset() {
  history.fill(0.0f);
  pos = 0;
}

float FirFilter::Process(float x) noexcept {
  pos = (pos == 0) ? taps - 1 : pos - 1;
  history[pos] = x;
  history[pos + taps] = x;
  return Dot(coeffs.data(), history.data() + pos, taps);
}

}  // namespace halvex
