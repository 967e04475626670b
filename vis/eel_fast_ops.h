// The expression language's instructions lowered for speed: operands fused into arithmetic,
// stores fused with the statement's pop, no stack checks. A program is lowered only when it
// provably never under- or overflows the stack, so running these gives what the checked
// interpreter gives.
#pragma once

#include <cstdint>

namespace halvex::vis {

enum FastCode : uint8_t {
  kFPush, kFLoad, kFStore, kFStorePop, kFPop, kFNegate, kFArith,
  // Push or Load fused with the + - * / that follows; each run of four is in operator order.
  kFAddC, kFSubC, kFMulC, kFDivC, kFAddV, kFSubV, kFMulV, kFDivV,
  kFCall, kFUnsupported,
};

struct FastOp {
  uint8_t op = 0;  // a FastCode
  uint8_t code = 0;
  uint8_t argc = 0;
  uint32_t slot = 0;
  double value = 0.0;
};

}  // namespace halvex::vis
