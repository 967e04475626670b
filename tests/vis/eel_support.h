// Running a text of the expression language in one call, for its tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "vis/eel.h"

namespace halvex::vis {

// Compiles and runs `text` once on fresh variables; returns the value of `name`.
inline double RunFor(const std::string& text, const std::string& name = "x") {
  VariableTable table;
  Program program;
  const CompileResult result = program.Compile(text, table);
  EXPECT_TRUE(result.ok) << text << ": " << result.error;
  std::vector<double> vars(table.size(), 0.0);
  program.Run(vars);
  const size_t slot = table.Find(name);
  return slot == VariableTable::kMissing ? std::nan("") : vars[slot];
}

}  // namespace halvex::vis
