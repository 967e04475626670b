// The interpreters: what programs compute, alone and in batches, and how they absorb misuse.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "tests/vis/eel_support.h"
#include "vis/eel.h"

namespace halvex::vis {
namespace {

struct ValueCase {
  const char* text;
  double expected;
};

class Evaluates : public ::testing::TestWithParam<ValueCase> {};

TEST_P(Evaluates, ToTheExpectedValue) {
  EXPECT_DOUBLE_EQ(RunFor(GetParam().text), GetParam().expected) << GetParam().text;
}

// Every lane of a batch computes what a single run computes, whatever values the lanes hold.
TEST_P(Evaluates, AlikeInEveryLaneOfABatch) {
  VariableTable table;
  Program program;
  ASSERT_TRUE(program.Compile(GetParam().text, table).ok);
  ASSERT_TRUE(program.batchable()) << GetParam().text;
  constexpr size_t N = Program::kBatchSize;
  const size_t slots = table.size();
  std::vector<double> lanes(slots * N), scalars(slots, 0.0), stack(Program::kStackSize * N);
  const std::vector<uint8_t> is_lane(slots, 1);
  constexpr size_t kLanes = 5;
  for (size_t s = 0; s < slots; ++s) {
    for (size_t k = 0; k < kLanes; ++k) lanes[s * N + k] = 0.25 * static_cast<double>(k);
  }
  ASSERT_TRUE(program.RunBatch({kLanes, lanes.data(), is_lane.data(), scalars.data(),
                                stack.data()}));
  for (size_t k = 0; k < kLanes; ++k) {
    std::vector<double> single(slots, 0.25 * static_cast<double>(k));
    program.Run(single);
    for (size_t s = 0; s < slots; ++s) {
      const double batched = lanes[s * N + k];
      if (std::isnan(single[s])) {
        EXPECT_TRUE(std::isnan(batched)) << GetParam().text;
      } else {
        EXPECT_EQ(batched, single[s]) << GetParam().text << " lane " << k << " slot " << s;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Language, Evaluates,
    ::testing::Values(
        // precedence and grouping
        ValueCase{"x = 1 + 2 & 4", 0}, ValueCase{"x = 1 + 2 * 3", 7},
        ValueCase{"x = (1 + 2) * 3", 9}, ValueCase{"x = 10 - 4 - 3", 3},
        ValueCase{"x = 2 * 3 % 4", 2}, ValueCase{"x = 5 | 2 & 3", 3}, ValueCase{"x = -2 * -3", 6},
        ValueCase{"x = - - 4", 4}, ValueCase{"x = +++5", 5}, ValueCase{"x = -(1 + 1)", -2},
        ValueCase{"x = 1e-3 * 1000", 1}, ValueCase{"x = .5 + 0.25", 0.75},
        // division and remainder
        ValueCase{"x = 1/0", 0}, ValueCase{"x = 7 % 0", 0}, ValueCase{"x = -7 % 3", -1},
        ValueCase{"x = 7.9 % 3.9", 1}, ValueCase{"x = 0.5 % 0.5", 0},
        ValueCase{"x = -2147483648 % -1", 0}, ValueCase{"x = 1e300 % 7", 2147483647 % 7},
        ValueCase{"x = 1e300 | 0", 2147483647}, ValueCase{"x = -1e300 & -1", -2147483648.0},
        // functions
        ValueCase{"x = int(-1.5)", -2}, ValueCase{"x = int(2.5)", 2},
        ValueCase{"x = int(9007199254740993)", 9007199254740993.0}, ValueCase{"x = sign(0)", 0},
        ValueCase{"x = sign(-3)", -1}, ValueCase{"x = if(0, 1, 2)", 2},
        ValueCase{"x = if(-0.1, 1, 2)", 1}, ValueCase{"x = sqrt(-16)", 4},
        ValueCase{"x = log(-1)", 0}, ValueCase{"x = log10(100)", 2},
        ValueCase{"x = asin(2)", M_PI / 2}, ValueCase{"x = acos(-5)", M_PI},
        ValueCase{"x = atan2(1, 0)", M_PI / 2}, ValueCase{"x = sqr(-3)", 9},
        ValueCase{"x = pow(2, 10)", 1024}, ValueCase{"x = min(3, -2) + max(3, -2)", 1},
        ValueCase{"x = sigmoid(0, 5)", 0.5}, ValueCase{"x = bnot(0) + bnot(3)", 1},
        ValueCase{"x = above(2, 1) + below(2, 1) * 10 + equal(2, 2) * 100", 101},
        ValueCase{"x = abs(-2.5)", 2.5}, ValueCase{"x = exp(0)", 1},
        // statements, assignment, names
        ValueCase{"a = 2 b = 3 x = a * b", 6}, ValueCase{"x = y = 4; x = x + y", 8},
        ValueCase{"X = 1; x = x + 1", 2}, ValueCase{";;; x = 3;;", 3},
        ValueCase{"x = 2; // x = 5\n x = x * 3", 6}, ValueCase{"x = 4 // trailing", 4},
        ValueCase{"x = 8 / 2 // halve", 4}, ValueCase{"x = unset_name + 1", 1},
        ValueCase{"x = megabuf(3)", 0}, ValueCase{"x = 1 + foo(2) * 3", 1},
        ValueCase{"x = 0x10", 16}));

TEST(Evaluator, RandRepeatsItsSequenceOnEveryRun) {
  VariableTable table;
  Program program;
  ASSERT_TRUE(program.Compile("x = rand(10); y = rand(10)", table).ok);
  std::vector<double> first(table.size()), second(table.size());
  program.Run(first);
  program.Run(second);
  EXPECT_EQ(first, second);
  EXPECT_NE(first[0], first[1]);
  // The first value of the generator seeded with 22222, scaled to [0, 10).
  const uint32_t state = 22222u * 1664525u + 1013904223u;
  EXPECT_DOUBLE_EQ(first[0], (state >> 8) / 16777216.0 * 10.0);
  EXPECT_GE(first[0], 0.0);
  EXPECT_LT(first[0], 10.0);
}

TEST(Evaluator, ALongProgramNeverFillsTheStack) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "a = a + 1; ";
  text += "x = a";
  EXPECT_DOUBLE_EQ(RunFor(text), 500);
}

TEST(Evaluator, DropsPushesBeyondSixtyFourValues) {
  // 71 operands before the first operator: the seven deepest-nested pushes are dropped, the
  // additions that find fewer than two values do nothing, and nothing is written out of bounds.
  std::string text = "x = ";
  for (int i = 0; i < 70; ++i) text += "1 + (";
  text += "1";
  text += std::string(70, ')');
  // 71 ones pushed, 64 kept: the additions sum those.
  EXPECT_DOUBLE_EQ(RunFor(text), 64);
}

TEST(Evaluator, StoreBeyondTheVectorLeavesItUnchanged) {
  VariableTable table;
  Program program;
  ASSERT_TRUE(program.Compile("a = 1; b = 2; c = a + b", table).ok);
  std::vector<double> vars(1, 5.0);  // only slot 0 exists
  program.Run(vars);
  EXPECT_EQ(vars, std::vector<double>{1.0});
}

TEST(Evaluator, IntegerOperatorsOfNanAndInfinityUseTheDocumentedConversions) {
  // 0/0 is 0 in the language, so NaN comes from pow of a negative base.
  EXPECT_DOUBLE_EQ(RunFor("n = pow(-1, 0.5); x = (n | 5) + int(n)"), 5);
  EXPECT_DOUBLE_EQ(RunFor("i = exp(1000); x = i % 10"), 2147483647 % 10);
  EXPECT_DOUBLE_EQ(RunFor("i = exp(1000); x = 7 % i"), 7);
  EXPECT_EQ(RunFor("x = int(exp(1000))"), std::numeric_limits<double>::infinity());
}

}  // namespace
}  // namespace halvex::vis
