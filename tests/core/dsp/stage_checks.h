// Checks that several spatial stages' suites share.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "core/dsp/spatial_stage.h"

namespace halvex::test {

// Every frame of `in` (interleaved stereo) leaves `stage` unchanged, as wet and as dry. Fatal on
// the first difference: wrap the call in ASSERT_NO_FATAL_FAILURE.
inline void ExpectPassesThrough(SpatialStage& stage, const std::vector<float>& in) {
  for (size_t i = 0; i < in.size() / 2; ++i) {
    const StageOutput out = stage.Process(in[2 * i], in[2 * i + 1]);
    ASSERT_EQ(out.wet.left, in[2 * i]) << "frame " << i;
    ASSERT_EQ(out.wet.right, in[2 * i + 1]) << "frame " << i;
    ASSERT_EQ(out.dry.left, in[2 * i]) << "frame " << i;
    ASSERT_EQ(out.dry.right, in[2 * i + 1]) << "frame " << i;
  }
}

}  // namespace halvex::test
