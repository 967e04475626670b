#include "vis/number_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace halvex::vis {
namespace {

struct Conversion {
  double in;
  int32_t i32;
  int64_t i64;
  uint64_t u64;
};

TEST(Conversions, AreDefinedForEveryInput) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr int32_t kI32Max = std::numeric_limits<int32_t>::max();
  constexpr int32_t kI32Min = std::numeric_limits<int32_t>::min();
  constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
  constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
  constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
  const Conversion cases[] = {
      {std::nan(""), 0, 0, 0},
      {-std::nan(""), 0, 0, 0},
      {kInf, kI32Max, kI64Max, kU64Max},
      {-kInf, kI32Min, kI64Min, 0},
      {2.9, 2, 2, 2},
      {-2.9, -2, -2, 0},
      {3e9, kI32Max, 3000000000, 3000000000},
      {-3e9, kI32Min, -3000000000, 0},
      {1e19, kI32Max, kI64Max, 10000000000000000000u},
      {1e30, kI32Max, kI64Max, kU64Max},
      {9223372036854775808.0, kI32Max, kI64Max, 9223372036854775808u},
      {2147483647.5, kI32Max, 2147483647, 2147483647},
  };
  for (const Conversion& c : cases) {
    EXPECT_EQ(SaturatingInt32(c.in), c.i32) << c.in;
    EXPECT_EQ(SaturatingInt64(c.in), c.i64) << c.in;
    EXPECT_EQ(SaturatingUint64(c.in), c.u64) << c.in;
  }
  EXPECT_EQ(NarrowToFloat(1e300), std::numeric_limits<float>::infinity());
  EXPECT_EQ(NarrowToFloat(-1e300), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(NarrowToFloat(0.5), 0.5f);
}

}  // namespace
}  // namespace halvex::vis
