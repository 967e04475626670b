// Compiling a program: the parser's instructions, then the lowered form the fast interpreters
// run when the program provably needs no stack checks.
#include <algorithm>
#include <limits>

#include "vis/eel.h"
#include "vis/eel_parser.h"

namespace halvex::vis {

size_t VariableTable::Slot(std::string_view name) {
  const auto [it, inserted] = index_.try_emplace(std::string(name), names_.size());
  if (inserted) names_.emplace_back(name);
  return it->second;
}

size_t VariableTable::Find(std::string_view name) const {
  const auto it = index_.find(std::string(name));
  return it == index_.end() ? kMissing : it->second;
}

void VariableTable::Clear() {
  index_.clear();
  names_.clear();
}

namespace {

// The stack depth at every instruction is known (there are no branches), so whether the
// checked interpreter would ever drop a push or find too few values is decided once. Raises
// `slots_needed` to cover every slot the code names.
bool StackStaysInBounds(const std::vector<Instruction>& code, size_t& slots_needed) {
  constexpr size_t kStackSize = Program::kStackSize;
  size_t depth = 0;
  bool safe = true;
  for (const Instruction& in : code) {
    switch (in.op) {
      case Op::kPush:
      case Op::kLoad:
        safe = safe && depth < kStackSize;
        depth = std::min(depth + 1, kStackSize);
        if (in.op == Op::kLoad) slots_needed = std::max<size_t>(slots_needed, in.slot + 1);
        break;
      case Op::kStore:
        safe = safe && depth > 0;
        slots_needed = std::max<size_t>(slots_needed, in.slot + 1);
        break;
      case Op::kNegate:
        safe = safe && depth > 0;
        break;
      case Op::kArith:
        safe = safe && depth >= 2;
        if (depth >= 2) --depth;
        break;
      case Op::kCall:
        safe = safe && in.argc > 0 && depth >= in.argc;
        if (in.argc > 0 && depth >= in.argc) depth = depth - in.argc + 1;
        break;
      case Op::kUnsupported:
        safe = safe && depth >= in.argc && depth - in.argc < kStackSize;
        depth = depth >= in.argc ? std::min(depth - in.argc + 1, kStackSize) : 1;
        break;
      case Op::kPop:
        safe = safe && depth > 0;
        if (depth > 0) --depth;
        break;
    }
  }
  return safe;
}

bool Fusable(const Instruction& in) {
  return in.op == Op::kArith && (in.code == kAdd || in.code == kSub || in.code == kMul ||
                                 in.code == kDiv);
}

// The lowered form of code[i], with code[i + 1] fused into it where it can be; `i` is left on
// the last instruction used.
FastOp LowerAt(const std::vector<Instruction>& code, size_t& i) {
  const Instruction& in = code[i];
  const Instruction* next = i + 1 < code.size() ? &code[i + 1] : nullptr;
  FastOp f;
  f.code = in.code;
  f.argc = in.argc;
  f.slot = static_cast<uint32_t>(in.slot);
  f.value = in.value;
  switch (in.op) {
    case Op::kPush:
    case Op::kLoad:
      if (next != nullptr && Fusable(*next)) {
        const uint8_t base = in.op == Op::kPush ? kFAddC : kFAddV;
        f.op = static_cast<uint8_t>(base + next->code);  // kAdd..kDiv are 0..3
        ++i;
      } else {
        f.op = in.op == Op::kPush ? kFPush : kFLoad;
      }
      break;
    case Op::kStore:
      if (next != nullptr && next->op == Op::kPop) {
        f.op = kFStorePop;
        ++i;
      } else {
        f.op = kFStore;
      }
      break;
    case Op::kNegate: f.op = kFNegate; break;
    case Op::kArith: f.op = kFArith; break;
    case Op::kCall: f.op = kFCall; break;
    case Op::kUnsupported: f.op = kFUnsupported; break;
    case Op::kPop: f.op = kFPop; break;
  }
  return f;
}

}  // namespace

CompileResult Program::Compile(std::string_view text, VariableTable& table) {
  CompileResult result;
  Clear();
  result.ok = ParseEel(text, table, code_, result);
  if (!result.ok) {
    code_.clear();
  } else {
    Lower();
  }
  return result;
}

void Program::Clear() {
  code_.clear();
  fast_.clear();
  fast_ok_ = false;
  slots_needed_ = 0;
  stored_slots_.clear();
}

void Program::Lower() {
  fast_ok_ = StackStaysInBounds(code_, slots_needed_) &&
             slots_needed_ <= std::numeric_limits<uint32_t>::max();
  if (!fast_ok_) return;
  for (const Instruction& in : code_) {
    const auto slot = static_cast<uint32_t>(in.slot);
    if (in.op == Op::kStore &&
        std::find(stored_slots_.begin(), stored_slots_.end(), slot) == stored_slots_.end()) {
      stored_slots_.push_back(slot);
    }
  }
  for (size_t i = 0; i < code_.size(); ++i) fast_.push_back(LowerAt(code_, i));
}

}  // namespace halvex::vis
