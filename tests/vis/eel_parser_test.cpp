// The parser: which texts compile, to which code, and with which error or notes.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tests/vis/eel_support.h"
#include "vis/eel.h"

namespace halvex::vis {
namespace {

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

}  // namespace
}  // namespace halvex::vis
