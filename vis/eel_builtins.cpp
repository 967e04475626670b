#include "vis/eel_builtins.h"

namespace halvex::vis {

// Codes follow the row order; EelCall's switch relies on it.
const FunctionInfo kFunctions[25] = {
    {"sin", 0, 1},     {"cos", 1, 1},     {"tan", 2, 1},      {"asin", 3, 1},  {"acos", 4, 1},
    {"atan", 5, 1},    {"atan2", 6, 2},   {"sqr", 7, 1},      {"sqrt", 8, 1},  {"pow", 9, 2},
    {"exp", 10, 1},    {"log", 11, 1},    {"log10", 12, 1},   {"abs", 13, 1},  {"sign", 14, 1},
    {"min", 15, 2},    {"max", 16, 2},    {"int", 17, 1},     {"rand", 18, 1}, {"sigmoid", 19, 2},
    {"bnot", 20, 1},   {"above", 21, 2},  {"below", 22, 2},   {"equal", 23, 2}, {"if", 24, 3},
};

const char* const kDeferred[7] = {"megabuf", "gmegabuf", "loop", "exec2",
                                  "exec3",   "while",    "gmem"};

}  // namespace halvex::vis
