// The expression language's parser: text to stack-machine instructions, names bound to slots.
#pragma once

#include <string_view>
#include <vector>

#include "vis/eel.h"

namespace halvex::vis {

// Appends the instructions of `text` to `code`, binding names in `table`; notes and the first
// error go to `result`. False on an error (what was appended is then meaningless).
bool ParseEel(std::string_view text, VariableTable& table, std::vector<Instruction>& code,
              CompileResult& result);

}  // namespace halvex::vis
