// The one-program-at-a-time interpreters: the lowered program without checks where it is
// provably safe, else the instruction list with every stack and slot access checked.
#include "vis/eel.h"
#include "vis/eel_builtins.h"

namespace halvex::vis {

void Program::Run(std::vector<double>& variables) const noexcept {
  if (!fast_ok_ || variables.size() < slots_needed_) {
    RunChecked(variables);
    return;
  }
  double stack[kStackSize];
  double* sp = stack;  // one past the top
  uint32_t rng = 22222;
  double* vars = variables.data();
  for (const FastOp& f : fast_) {
    switch (f.op) {
      case kFPush: *sp++ = f.value; break;
      case kFLoad: *sp++ = vars[f.slot]; break;
      case kFStore: vars[f.slot] = sp[-1]; break;
      case kFStorePop: vars[f.slot] = *--sp; break;
      case kFPop: --sp; break;
      case kFNegate: sp[-1] = -sp[-1]; break;
      case kFArith:
        sp[-2] = EelArith(f.code, sp[-2], sp[-1]);
        --sp;
        break;
      case kFAddC: sp[-1] += f.value; break;
      case kFSubC: sp[-1] -= f.value; break;
      case kFMulC: sp[-1] *= f.value; break;
      case kFDivC: sp[-1] = f.value == 0.0 ? 0.0 : sp[-1] / f.value; break;
      case kFAddV: sp[-1] += vars[f.slot]; break;
      case kFSubV: sp[-1] -= vars[f.slot]; break;
      case kFMulV: sp[-1] *= vars[f.slot]; break;
      case kFDivV: {
        const double b = vars[f.slot];
        sp[-1] = b == 0.0 ? 0.0 : sp[-1] / b;
        break;
      }
      case kFCall: {
        double* base = sp - f.argc;
        base[0] = EelCall(f.code, base, rng);
        sp = base + 1;
        break;
      }
      case kFUnsupported:
        sp -= f.argc;
        *sp++ = 0.0;
        break;
      default:
        break;
    }
  }
}

void Program::RunChecked(std::vector<double>& variables) const noexcept {
  double stack[kStackSize];
  size_t depth = 0;
  uint32_t rng = 22222;
  double* vars = variables.data();
  const size_t count = variables.size();
  for (const Instruction& in : code_) {
    switch (in.op) {
      case Op::kPush:
        if (depth < kStackSize) stack[depth++] = in.value;
        break;
      case Op::kLoad:
        if (depth < kStackSize) stack[depth++] = in.slot < count ? vars[in.slot] : 0.0;
        break;
      case Op::kStore:
        if (depth > 0 && in.slot < count) vars[in.slot] = stack[depth - 1];
        break;
      case Op::kNegate:
        if (depth > 0) stack[depth - 1] = -stack[depth - 1];
        break;
      case Op::kArith:
        if (depth >= 2) {
          stack[depth - 2] = EelArith(in.code, stack[depth - 2], stack[depth - 1]);
          --depth;
        }
        break;
      case Op::kCall:
        if (in.argc > 0 && depth >= in.argc) {
          const size_t base = depth - in.argc;
          stack[base] = EelCall(in.code, stack + base, rng);
          depth = base + 1;
        }
        break;
      case Op::kUnsupported:
        if (depth >= in.argc) {
          depth -= in.argc;
          if (depth < kStackSize) stack[depth++] = 0.0;
        } else {
          stack[0] = 0.0;
          depth = 1;
        }
        break;
      case Op::kPop:
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
}

}  // namespace halvex::vis
