#include "vis/picture_stretch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace halvex::vis {

namespace {

// Where the compiler can, the row loops are also built for AVX2 and picked at load time: the
// same arithmetic in vectors twice as wide.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define HALVEX_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define HALVEX_AVX2_CLONES
#endif

constexpr uint32_t kOne = 256;  // weights are in 1/256, as a software rasteriser's are

}  // namespace

void PictureStretch::Configure(uint32_t from_width, uint32_t from_height, uint32_t to_width,
                               uint32_t to_height) {
  from_width_ = from_width;
  same_size_ = from_width == to_width && from_height == to_height;
  const bool empty = from_width == 0 || from_height == 0 || to_width == 0 || to_height == 0;
  const auto taps = [empty](uint32_t from, uint32_t to) {
    std::vector<Tap> out(empty ? 0 : to);
    const double step = static_cast<double>(from) / to;
    for (uint32_t i = 0; i < out.size(); ++i) {
      const double at = (i + 0.5) * step - 0.5;
      const double below = std::floor(at);
      auto weight = static_cast<uint32_t>(std::lround((at - below) * kOne));
      auto near = static_cast<int64_t>(below);
      if (weight == kOne) {  // rounds onto the next texel
        ++near;
        weight = 0;
      }
      const int64_t last = static_cast<int64_t>(from) - 1;
      out[i].near = static_cast<uint32_t>(std::clamp<int64_t>(near, 0, last));
      out[i].far = static_cast<uint32_t>(std::clamp<int64_t>(near + 1, 0, last));
      out[i].weight = weight;
    }
    return out;
  };
  columns_.clear();
  for (const Tap& tap : taps(from_width, to_width)) {
    ColumnTap column;
    uint32_t far_weight = tap.weight;
    column.left = tap.near;
    if (tap.far == tap.near) {  // an edge: both neighbours are the same texel
      far_weight = 0;
      if (from_width > 1 && tap.near + 1 == from_width) {
        column.left = tap.near - 1;
        far_weight = kOne;
      }
    }
    for (int c = 0; c < 4; ++c) {
      column.weights[c] = static_cast<uint16_t>(kOne - far_weight);
      column.weights[4 + c] = static_cast<uint16_t>(far_weight);
    }
    columns_.push_back(column);
  }
  rows_ = taps(from_height, to_height);
  upper_.assign(columns_.size() * 4, 0);
  lower_.assign(columns_.size() * 4, 0);
}

// One source row across: each output pixel from its two neighbours, red and blue swapped. Eight
// 16-bit lanes hold both neighbours' channels, so one multiply weighs a whole pixel; a
// one-texel-wide source has no second neighbour to load and takes the scalar way.
void PictureStretch::StretchRow(const uint8_t* from, uint16_t* into) const {
  if (from_width_ == 1) {
    for (std::size_t x = 0; x < columns_.size(); ++x, into += 4) {
      for (int c = 0; c < 4; ++c) into[c] = static_cast<uint16_t>(from[c == 3 ? 3 : 2 - c] * kOne);
    }
    return;
  }
  using Bytes = uint8_t __attribute__((vector_size(8)));
  using Lanes = uint16_t __attribute__((vector_size(16)));
  using Half = uint16_t __attribute__((vector_size(8)));
  for (const ColumnTap& column : columns_) {
    Bytes pair;
    std::memcpy(&pair, from + std::size_t{column.left} * 4, sizeof(pair));
    Lanes weights;
    std::memcpy(&weights, column.weights, sizeof(weights));
    const Lanes weighed = __builtin_convertvector(pair, Lanes) * weights;
    const Lanes summed =
        weighed + __builtin_shufflevector(weighed, weighed, 4, 5, 6, 7, 0, 1, 2, 3);
    const Half bgra = __builtin_shufflevector(summed, summed, 2, 1, 0, 3);
    std::memcpy(into, &bgra, sizeof(bgra));
    into += 4;
  }
}

namespace {

// Output channels from two stretched rows, (upper · (256 − w) + lower · w) / 65536 within one
// step: each product as a 16-bit high half, so that a vector register holds sixteen channels.
// Plain loops over contiguous arrays, which the compiler vectorises.
HALVEX_AVX2_CLONES void BlendRows(const uint16_t* __restrict upper,
                                  const uint16_t* __restrict lower, uint32_t weight,
                                  std::size_t count, uint8_t* __restrict out) {
  if (weight == 0) {
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((upper[i] + 128u) >> 8);
    return;
  }
  // Both factors below 65536: the weight is 1…255 here.
  const auto keep = static_cast<uint16_t>((kOne - weight) << 8);
  const auto take = static_cast<uint16_t>(weight << 8);
  for (std::size_t i = 0; i < count; ++i) {
    const auto a = static_cast<uint16_t>((uint32_t{upper[i]} * keep) >> 16);
    const auto b = static_cast<uint16_t>((uint32_t{lower[i]} * take) >> 16);
    out[i] = static_cast<uint8_t>(static_cast<uint16_t>(a + b + 128u) >> 8);
  }
}

HALVEX_AVX2_CLONES void SwapRedBlue(const uint8_t* __restrict from, std::size_t pixels,
                                    uint8_t* __restrict out) {
  for (std::size_t i = 0; i < pixels; ++i) {
    uint32_t p;
    std::memcpy(&p, from + i * 4, 4);
    p = (p & 0xff00ff00u) | ((p >> 16) & 0xffu) | ((p & 0xffu) << 16);
    std::memcpy(out + i * 4, &p, 4);
  }
}

}  // namespace

void PictureStretch::Run(const uint8_t* from, std::size_t from_pitch, uint8_t* to,
                         std::size_t to_pitch) {
  if (columns_.empty() || rows_.empty()) return;
  if (same_size_) {
    for (std::size_t y = 0; y < rows_.size(); ++y) {
      SwapRedBlue(from + y * from_pitch, columns_.size(), to + y * to_pitch);
    }
    return;
  }
  const std::size_t count = columns_.size() * 4;
  // The source rows in upper_ and lower_: each is stretched across once per frame.
  int64_t upper_row = -1;
  int64_t lower_row = -1;
  for (std::size_t y = 0; y < rows_.size(); ++y) {
    const Tap& tap = rows_[y];
    if (tap.near != upper_row) {
      if (tap.near == lower_row) {
        std::swap(upper_, lower_);
        std::swap(upper_row, lower_row);
      } else {
        StretchRow(from + tap.near * from_pitch, upper_.data());
        upper_row = tap.near;
      }
    }
    if (tap.far != lower_row) {
      StretchRow(from + tap.far * from_pitch, lower_.data());
      lower_row = tap.far;
    }
    BlendRows(upper_.data(), lower_.data(), tap.weight, count, to + y * to_pitch);
  }
}

}  // namespace halvex::vis
