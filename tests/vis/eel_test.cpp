#include "vis/eel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace halvex::vis {
namespace {

// Compiles and runs `text` once on fresh variables; returns the value of `name`.
double RunFor(const std::string& text, const std::string& name = "x") {
  VariableTable table;
  Program program;
  const CompileResult result = program.Compile(text, table);
  EXPECT_TRUE(result.ok) << text << ": " << result.error;
  std::vector<double> vars(table.size(), 0.0);
  program.Run(vars);
  const size_t slot = table.Find(name);
  return slot == VariableTable::kMissing ? std::nan("") : vars[slot];
}

struct ValueCase {
  const char* text;
  double expected;
};

class Evaluates : public ::testing::TestWithParam<ValueCase> {};

TEST_P(Evaluates, ToTheExpectedValue) {
  EXPECT_DOUBLE_EQ(RunFor(GetParam().text), GetParam().expected) << GetParam().text;
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

struct ErrorCase {
  const char* text;
  const char* error;
};

class Rejects : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(Rejects, WithItsFirstError) {
  VariableTable table;
  Program program;
  const CompileResult result = program.Compile(GetParam().text, table);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, GetParam().error);
  EXPECT_TRUE(program.empty());
}

INSTANTIATE_TEST_SUITE_P(Language, Rejects,
                         ::testing::Values(ErrorCase{"x = sin(1, 2)", "sin takes 1 arguments"},
                                           ErrorCase{"x = if(1, 2)", "if takes 3 arguments"},
                                           ErrorCase{"x = sin()", "sin takes 1 arguments"},
                                           ErrorCase{"x = (1 + 2", "missing )"},
                                           ErrorCase{"x = max(1, 2", "missing ) in call to max"},
                                           ErrorCase{"x = 3 == 3", "unexpected character: ="},
                                           ErrorCase{"x = ", "unexpected end of expression"},
                                           ErrorCase{"x = 1 +", "unexpected end of expression"},
                                           ErrorCase{"x = )", "unexpected character: )"},
                                           ErrorCase{"x = 1 < 2", "unexpected character: <"},
                                           ErrorCase{"x = .", "unexpected character: ."},
                                           ErrorCase{"x = . + 1", "unexpected character: ."},
                                           ErrorCase{"x = (1 + 2; y = 1 +", "missing )"},
                                           ErrorCase{"x = ?", "unexpected character: ?"},
                                           ErrorCase{"x = f(,)", "unexpected character: ,"}));

TEST(Compiler, TreatsANulWhereAnOperandIsNeededAsTheEnd) {
  VariableTable table;
  Program program;
  const CompileResult r = program.Compile(std::string_view("x = \0 1", 7), table);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "unexpected end of expression");
}

TEST(Compiler, EmitsThePostfixCodeOfAnAssignmentAndPopsTheStatement) {
  VariableTable table;
  for (const char* name : {"zoom", "rad", "bass"}) table.Slot(name);
  Program program;
  ASSERT_TRUE(program.Compile("zoom = zoom + 0.03*rad*bass;", table).ok);
  const auto& code = program.instructions();
  const Op expected[] = {Op::kLoad,  Op::kPush,  Op::kLoad,  Op::kArith, Op::kLoad,
                         Op::kArith, Op::kArith, Op::kStore, Op::kPop};
  ASSERT_EQ(code.size(), std::size(expected));
  for (size_t i = 0; i < code.size(); ++i) EXPECT_EQ(code[i].op, expected[i]) << i;
  EXPECT_EQ(code[0].slot, 0u);
  EXPECT_DOUBLE_EQ(code[1].value, 0.03);
  EXPECT_EQ(code[2].slot, 1u);
  EXPECT_EQ(code[3].code, kMul);
  EXPECT_EQ(code[4].slot, 2u);
  EXPECT_EQ(code[5].code, kMul);
  EXPECT_EQ(code[6].code, kAdd);
  EXPECT_EQ(code[7].slot, 0u);
}

TEST(Compiler, NotesEachUnsupportedConstructOnceInOrder) {
  VariableTable table;
  Program program;
  const CompileResult r =
      program.Compile("x = megabuf(1) + foo(2) + megabuf(3) + gmem(1) + foo(1, 2)", table);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.notes, (std::vector<std::string>{"megabuf", "foo()", "gmem"}));
}

TEST(Compiler, LimitsNestingInsteadOfOverflowingTheStack) {
  const std::string deep_parens = "x = " + std::string(100000, '(') + "1";
  const std::string deep_unary = "x = " + std::string(100000, '-') + "1";
  std::string chained;
  for (int i = 0; i < 100000; ++i) chained += "a = ";
  chained += "1";
  std::string calls = "x = ";
  for (int i = 0; i < 100000; ++i) calls += "sin(";
  for (const std::string& text : {deep_parens, deep_unary, chained, calls}) {
    VariableTable table;
    Program program;
    const CompileResult r = program.Compile(text, table);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "expression nested too deeply");
  }
  // Moderate nesting within the limit still compiles.
  EXPECT_DOUBLE_EQ(RunFor("x = " + std::string(100, '(') + "7" + std::string(100, ')')), 7);
  EXPECT_DOUBLE_EQ(RunFor("x = " + std::string(101, '-') + "7"), -7);
}

TEST(Compiler, PlusChainsNeedNoNestingBudget) {
  EXPECT_DOUBLE_EQ(RunFor("x = " + std::string(100000, '+') + "2"), 2);
}

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
