// Stretches a finished picture to the window's size on the host, with the filter a GPU's linear
// sampler applies (texel centres, clamped edges, 8-bit weights), turning RGBA into the X
// server's BGRX on the way. On a software device the same stretch drawn by the rasteriser costs
// more than the rest of the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace halvex::vis {

class PictureStretch {
 public:
  // From `from_width` × `from_height` RGBA pixels to `to_width` × `to_height` BGRX ones.
  // Allocates; a zero size stretches nothing.
  void Configure(uint32_t from_width, uint32_t from_height, uint32_t to_width, uint32_t to_height);
  // Rows `from_pitch` and `to_pitch` bytes apart; no allocation.
  void Run(const uint8_t* from, std::size_t from_pitch, uint8_t* to, std::size_t to_pitch);

 private:
  // Where one output column or row samples: two neighbours, and the far one's weight in 1/256.
  struct Tap {
    uint32_t near = 0;
    uint32_t far = 0;
    uint32_t weight = 0;
  };
  // A column's two neighbours as texels `left` and `left + 1` (so that one 8-byte load fetches
  // both), with their weights once per channel: a clamped edge moves the weight instead.
  struct ColumnTap {
    alignas(16) uint16_t weights[8];
    uint32_t left = 0;
  };

  void StretchRow(const uint8_t* from, uint16_t* into) const;

  uint32_t from_width_ = 0;
  bool same_size_ = false;  // a copy with red and blue swapped
  std::vector<ColumnTap> columns_;
  std::vector<Tap> rows_;
  // Source rows stretched across, in 1/256 steps: the pair the current output row blends.
  std::vector<uint16_t> upper_;
  std::vector<uint16_t> lower_;
};

}  // namespace halvex::vis
