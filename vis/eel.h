// The preset expression language: a compiler to a flat stack-machine program over doubles,
// and its evaluator. Variables are slots of a VariableTable shared by a preset's programs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vis/eel_fast_ops.h"

namespace halvex::vis {

class VariableTable {
 public:
  // The slot of `name` (already lower case), appended at the end on first use.
  size_t Slot(std::string_view name);
  // The slot of `name`, or kMissing.
  size_t Find(std::string_view name) const;
  size_t size() const { return names_.size(); }
  const std::vector<std::string>& names() const { return names_; }
  void Clear();

  static constexpr size_t kMissing = static_cast<size_t>(-1);

 private:
  std::unordered_map<std::string, size_t> index_;
  std::vector<std::string> names_;
};

enum class Op : uint8_t {
  kPush = 0,
  kLoad = 1,
  kStore = 2,
  kNegate = 3,
  kArith = 4,
  kCall = 5,
  kUnsupported = 6,
  kPop = 7,  // ends a top-level statement: its value is not needed
};

// Operator codes of kArith.
enum ArithCode : uint8_t { kAdd = 0, kSub, kMul, kDiv, kMod, kAnd, kOr };

struct Instruction {
  Op op = Op::kPush;
  double value = 0.0;  // constant of kPush
  uint64_t slot = 0;   // variable of kLoad and kStore
  uint8_t code = 0;    // operator of kArith, function of kCall
  uint8_t argc = 0;    // arguments of kCall and kUnsupported
};

struct CompileResult {
  bool ok = false;
  std::string error;               // the first error
  std::vector<std::string> notes;  // unsupported constructs, each once, in order
};

struct FunctionInfo {
  const char* name;
  uint8_t code;
  uint8_t argc;
};
// The 25 built-in functions, by code.
extern const FunctionInfo kFunctions[25];
// Accepted but not implemented: noted, evaluate to 0.
extern const char* const kDeferred[7];

class Program {
 public:
  static constexpr size_t kStackSize = 64;
  // Deeper nesting of parentheses, unary operators, assignments or calls is an error.
  static constexpr int kMaxDepth = 256;

  // Compiles `text` against `table`; on failure the program is left empty.
  CompileResult Compile(std::string_view text, VariableTable& table);
  // Executes once against `variables` (indexed by slot; slots beyond it read 0, writes are
  // dropped). Allocates nothing; never fails.
  void Run(std::vector<double>& variables) const noexcept;

  // Many runs at once, one per lane: lane k of slot s is lanes[s * kBatchSize + k] for the
  // slots marked in is_lane (every slot the program stores must be one); the other slots read
  // scalars[s]. Gives each lane exactly what Run would give it. False when the program needs
  // the checked interpreter (stack overflow or underflow); the caller then uses Run.
  static constexpr size_t kBatchSize = 96;
  struct Batch {
    size_t count = 0;                   // lanes in use, at most kBatchSize
    double* lanes = nullptr;
    const uint8_t* is_lane = nullptr;
    const double* scalars = nullptr;
    double* stack = nullptr;            // kStackSize * kBatchSize scratch values
  };
  bool RunBatch(const Batch& batch) const noexcept;
  bool batchable() const { return fast_ok_; }
  // Slots the program writes.
  const std::vector<uint32_t>& stored_slots() const { return stored_slots_; }

  const std::vector<Instruction>& instructions() const { return code_; }
  bool empty() const { return code_.empty(); }
  void Clear();

 private:
  void Lower();
  void RunChecked(std::vector<double>& variables) const noexcept;

  std::vector<Instruction> code_;
  std::vector<FastOp> fast_;  // the lowered program, when it is provably safe
  bool fast_ok_ = false;
  size_t slots_needed_ = 0;
  std::vector<uint32_t> stored_slots_;
};

}  // namespace halvex::vis
