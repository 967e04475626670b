// Sends per frame (what Process takes) to and from the rows the block paths take.
#pragma once

#include <array>
#include <cstddef>

#include "core/dsp/deep_field/distance_stage.h"

namespace halvex::test {

template <size_t kFrames>
SendRows ToRows(const std::array<std::array<FieldSend, 3>, kFrames>& sends,
                const std::array<FieldSend, kFrames>& late) {
  static_assert(kFrames <= kSendBlock);
  SendRows rows{};
  for (size_t i = 0; i < kFrames; ++i) {
    for (size_t k = 0; k < 3; ++k) {
      rows[2 * k][i] = sends[i][k].left;
      rows[2 * k + 1][i] = sends[i][k].right;
    }
    rows[6][i] = late[i].left;
    rows[7][i] = late[i].right;
  }
  return rows;
}

template <size_t kFrames>
void FromRows(const SendRows& rows, size_t count,
              std::array<std::array<FieldSend, 3>, kFrames>& sends,
              std::array<FieldSend, kFrames>& late) {
  for (size_t i = 0; i < count; ++i) {
    for (size_t k = 0; k < 3; ++k) sends[i][k] = {rows[2 * k][i], rows[2 * k + 1][i]};
    late[i] = {rows[6][i], rows[7][i]};
  }
}

}  // namespace halvex::test
