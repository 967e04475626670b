#include "vis/eel.h"

#include <locale.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <unordered_set>

namespace halvex::vis {

int32_t SaturatingInt32(double value) noexcept {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

double ReadDouble(const char* text, char** end) noexcept {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text, end, c);
}

int64_t SaturatingInt64(double value) noexcept {
  if (std::isnan(value)) return 0;
  // 2^63 is the first double above every int64.
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

uint64_t SaturatingUint64(double value) noexcept {
  if (std::isnan(value) || value <= 0.0) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(value);
}

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

// Codes follow the row order; Run's switch relies on it.
const FunctionInfo kFunctions[25] = {
    {"sin", 0, 1},     {"cos", 1, 1},     {"tan", 2, 1},      {"asin", 3, 1},  {"acos", 4, 1},
    {"atan", 5, 1},    {"atan2", 6, 2},   {"sqr", 7, 1},      {"sqrt", 8, 1},  {"pow", 9, 2},
    {"exp", 10, 1},    {"log", 11, 1},    {"log10", 12, 1},   {"abs", 13, 1},  {"sign", 14, 1},
    {"min", 15, 2},    {"max", 16, 2},    {"int", 17, 1},     {"rand", 18, 1}, {"sigmoid", 19, 2},
    {"bnot", 20, 1},   {"above", 21, 2},  {"below", 22, 2},   {"equal", 23, 2}, {"if", 24, 3},
};

const char* const kDeferred[7] = {"megabuf", "gmegabuf", "loop", "exec2",
                                  "exec3",   "while",    "gmem"};

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsNameStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

class Parser {
 public:
  Parser(std::string_view text, VariableTable& table, std::vector<Instruction>& code,
         CompileResult& result)
      : text_(text), table_(table), code_(code), result_(result) {}

  void ParseProgram() {
    for (;;) {
      SkipSpace();
      if (pos_ >= text_.size()) return;
      if (text_[pos_] == ';') {
        ++pos_;
        continue;
      }
      ParseExpression();
      if (failed_) return;
      Emit(Op::kPop);
    }
  }

  bool failed() const { return failed_; }

 private:
  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool AtEnd() const { return pos_ >= text_.size() || text_[pos_] == '\0'; }

  // White space, and `//` comments to the end of the line.
  void SkipSpace() {
    while (pos_ < text_.size()) {
      if (IsSpace(text_[pos_])) {
        ++pos_;
      } else if (text_[pos_] == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else {
        return;
      }
    }
  }

  std::string ReadName() {
    std::string name;
    while (pos_ < text_.size() && IsNameChar(text_[pos_])) {
      char c = text_[pos_++];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      name.push_back(c);
    }
    return name;
  }

  void Fail(std::string message) {
    if (!failed_) result_.error = std::move(message);
    failed_ = true;
  }

  void Note(const std::string& note) {
    if (noted_.insert(note).second) result_.notes.push_back(note);
  }

  void Emit(Op op, double value = 0.0, uint64_t slot = 0, uint8_t code = 0, uint8_t argc = 0) {
    code_.push_back(Instruction{op, value, slot, code, argc});
  }

  // Guards every recursive descent so hostile nesting fails instead of exhausting the stack.
  bool Enter() {
    if (++depth_ > Program::kMaxDepth) {
      Fail("expression nested too deeply");
      return false;
    }
    return true;
  }
  void Leave() { --depth_; }

  void ParseExpression() {
    if (!Enter()) return;
    SkipSpace();
    const size_t start = pos_;
    if (IsNameStart(Peek())) {
      const std::string name = ReadName();
      SkipSpace();
      if (Peek() == '=' && !(pos_ + 1 < text_.size() && text_[pos_ + 1] == '=')) {
        ++pos_;
        const size_t slot = table_.Slot(name);
        ParseExpression();
        if (!failed_) Emit(Op::kStore, 0.0, slot);
        Leave();
        return;
      }
      pos_ = start;
    }
    ParseProduct();
    for (;;) {
      if (failed_) break;
      SkipSpace();
      const char c = Peek();
      uint8_t op;
      if (c == '+') {
        op = kAdd;
      } else if (c == '-') {
        op = kSub;
      } else if (c == '&') {
        op = kAnd;
      } else if (c == '|') {
        op = kOr;
      } else {
        break;
      }
      ++pos_;
      ParseProduct();
      if (!failed_) Emit(Op::kArith, 0.0, 0, op);
    }
    Leave();
  }

  void ParseProduct() {
    ParseUnary();
    for (;;) {
      if (failed_) return;
      SkipSpace();
      const char c = Peek();
      uint8_t op;
      if (c == '*') {
        op = kMul;
      } else if (c == '/') {
        op = kDiv;
      } else if (c == '%') {
        op = kMod;
      } else {
        return;
      }
      ++pos_;
      ParseUnary();
      if (!failed_) Emit(Op::kArith, 0.0, 0, op);
    }
  }

  void ParseUnary() {
    for (;;) {
      SkipSpace();
      if (Peek() == '+') {
        ++pos_;
        continue;
      }
      if (Peek() == '-') {
        ++pos_;
        if (!Enter()) return;
        ParseUnary();
        if (!failed_) Emit(Op::kNegate);
        Leave();
        return;
      }
      ParseAtom();
      return;
    }
  }

  void ParseAtom() {
    SkipSpace();
    if (AtEnd()) {
      Fail("unexpected end of expression");
      return;
    }
    const char c = text_[pos_];
    if ((c >= '0' && c <= '9') || c == '.') {
      ParseNumber();
      return;
    }
    if (c == '(') {
      ++pos_;
      ParseExpression();
      if (failed_) return;
      SkipSpace();
      if (Peek() != ')') {
        Fail("missing )");
        return;
      }
      ++pos_;
      return;
    }
    if (IsNameStart(c)) {
      const std::string name = ReadName();
      SkipSpace();
      if (Peek() == '(') {
        ++pos_;
        ParseCall(name);
        return;
      }
      Emit(Op::kLoad, 0.0, table_.Slot(name));
      return;
    }
    Fail(std::string("unexpected character: ") + c);
  }

  void ParseNumber() {
    // strtod needs a terminated copy; a number text is short, so copy only its longest
    // possible extent.
    size_t end = pos_;
    while (end < text_.size() && end - pos_ < 400 &&
           (IsNameChar(text_[end]) || text_[end] == '.' || text_[end] == '+' ||
            text_[end] == '-')) {
      ++end;
    }
    const std::string number(text_.substr(pos_, end - pos_));
    char* stop = nullptr;
    const double value = ReadDouble(number.c_str(), &stop);
    const size_t used = static_cast<size_t>(stop - number.c_str());
    if (used == 0) {
      Fail(std::string("unexpected character: ") + text_[pos_]);
      return;
    }
    pos_ += used;
    Emit(Op::kPush, value);
  }

  void ParseCall(const std::string& name) {
    int argc = 0;
    SkipSpace();
    if (Peek() != ')') {
      for (;;) {
        if (!Enter()) return;
        ParseExpression();
        Leave();
        if (failed_) return;
        ++argc;
        if (argc > 255) {
          Fail("too many arguments in call to " + name);
          return;
        }
        SkipSpace();
        if (Peek() != ',') break;
        ++pos_;
      }
    }
    if (Peek() != ')') {
      Fail("missing ) in call to " + name);
      return;
    }
    ++pos_;
    const auto count = static_cast<uint8_t>(argc);
    for (const char* deferred : kDeferred) {
      if (name == deferred) {
        Note(name);
        Emit(Op::kUnsupported, 0.0, 0, 0, count);
        return;
      }
    }
    for (const FunctionInfo& f : kFunctions) {
      if (name == f.name) {
        if (argc != f.argc) {
          Fail(name + " takes " + std::to_string(f.argc) + " arguments");
          return;
        }
        Emit(Op::kCall, 0.0, 0, f.code, count);
        return;
      }
    }
    Note(name + "()");
    Emit(Op::kUnsupported, 0.0, 0, 0, count);
  }

  std::string_view text_;
  size_t pos_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  std::unordered_set<std::string> noted_;
  VariableTable& table_;
  std::vector<Instruction>& code_;
  CompileResult& result_;
};

double Int(double a) {
  if (std::isnan(a)) return 0.0;
  if (std::fabs(a) >= 4503599627370496.0) return a;  // 2^52: already whole
  return std::floor(a);
}

double Call(uint8_t code, const double* arg, uint32_t& rng) {
  const double a = arg[0];
  switch (code) {
    case 0: return std::sin(a);
    case 1: return std::cos(a);
    case 2: return std::tan(a);
    case 3: return std::asin(std::clamp(a, -1.0, 1.0));
    case 4: return std::acos(std::clamp(a, -1.0, 1.0));
    case 5: return std::atan(a);
    case 6: return std::atan2(a, arg[1]);
    case 7: return a * a;
    case 8: return std::sqrt(std::fabs(a));
    case 9: return std::pow(a, arg[1]);
    case 10: return std::exp(a);
    case 11: return a > 0.0 ? std::log(a) : 0.0;
    case 12: return a > 0.0 ? std::log10(a) : 0.0;
    case 13: return std::fabs(a);
    case 14: return a > 0.0 ? 1.0 : (a < 0.0 ? -1.0 : 0.0);
    case 15: return std::min(a, arg[1]);
    case 16: return std::max(a, arg[1]);
    case 17: return Int(a);
    case 18:
      rng = rng * 1664525u + 1013904223u;
      return static_cast<double>(rng >> 8) * (1.0 / 16777216.0) * a;
    case 19: return 1.0 / (1.0 + std::exp(-a * arg[1]));
    case 20: return a == 0.0 ? 1.0 : 0.0;
    case 21: return a > arg[1] ? 1.0 : 0.0;
    case 22: return a < arg[1] ? 1.0 : 0.0;
    case 23: return a == arg[1] ? 1.0 : 0.0;
    case 24: return a != 0.0 ? arg[1] : arg[2];
    default: return 0.0;
  }
}

inline double Arith(uint8_t code, double a, double b) {
  switch (code) {
    case kAdd: return a + b;
    case kSub: return a - b;
    case kMul: return a * b;
    case kDiv: return b == 0.0 ? 0.0 : a / b;
    case kMod: {
      const int32_t x = SaturatingInt32(a);
      const int32_t y = SaturatingInt32(b);
      // Any remainder by -1 is 0; computing it would trap for INT32_MIN.
      if (y == 0 || y == -1) return 0.0;
      return static_cast<double>(x % y);
    }
    case kAnd: return static_cast<double>(SaturatingInt32(a) & SaturatingInt32(b));
    case kOr: return static_cast<double>(SaturatingInt32(a) | SaturatingInt32(b));
    default: return a;
  }
}

}  // namespace

namespace {

enum FastCode : uint8_t {
  kFPush, kFLoad, kFStore, kFStorePop, kFPop, kFNegate, kFArith,
  kFAddC, kFSubC, kFMulC, kFDivC, kFAddV, kFSubV, kFMulV, kFDivV,
  kFCall, kFUnsupported,
};

bool Fusable(const Instruction& in) {
  return in.op == Op::kArith && (in.code == kAdd || in.code == kSub || in.code == kMul ||
                                 in.code == kDiv);
}

}  // namespace

CompileResult Program::Compile(std::string_view text, VariableTable& table) {
  CompileResult result;
  Clear();
  Parser parser(text, table, code_, result);
  parser.ParseProgram();
  result.ok = !parser.failed();
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
  // The stack depth at every instruction is known here (there are no branches), so whether
  // the checked interpreter would ever drop a push or find too few values is decided once.
  size_t depth = 0;
  bool safe = true;
  for (const Instruction& in : code_) {
    switch (in.op) {
      case Op::kPush:
      case Op::kLoad:
        safe = safe && depth < kStackSize;
        depth = std::min(depth + 1, kStackSize);
        if (in.op == Op::kLoad) slots_needed_ = std::max<size_t>(slots_needed_, in.slot + 1);
        break;
      case Op::kStore:
        safe = safe && depth > 0;
        slots_needed_ = std::max<size_t>(slots_needed_, in.slot + 1);
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
  fast_ok_ = safe && slots_needed_ <= std::numeric_limits<uint32_t>::max();
  if (!fast_ok_) return;
  for (const Instruction& in : code_) {
    const auto slot = static_cast<uint32_t>(in.slot);
    if (in.op == Op::kStore &&
        std::find(stored_slots_.begin(), stored_slots_.end(), slot) == stored_slots_.end()) {
      stored_slots_.push_back(slot);
    }
  }
  for (size_t i = 0; i < code_.size(); ++i) {
    const Instruction& in = code_[i];
    const Instruction* next = i + 1 < code_.size() ? &code_[i + 1] : nullptr;
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
    fast_.push_back(f);
  }
}

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
        sp[-2] = Arith(f.code, sp[-2], sp[-1]);
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
        base[0] = Call(f.code, base, rng);
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

bool Program::RunBatch(const Batch& b) const noexcept {
  if (!fast_ok_) return false;
  constexpr size_t N = kBatchSize;
  const size_t n = std::min(b.count, N);
  size_t depth = 0;       // stack entries in use
  double* top = b.stack;  // lane 0 of the top entry (meaningful while depth > 0)
  const auto push = [&] { top = b.stack + N * depth++; };
  const auto pop = [&](size_t count) {
    depth -= count;
    top = b.stack + N * (depth > 0 ? depth - 1 : 0);
  };
  uint32_t rng = 22222;
  const auto lane = [&](uint32_t slot) { return b.lanes + static_cast<size_t>(slot) * N; };
  for (const FastOp& f : fast_) {
    switch (f.op) {
      case kFPush:
        push();
        std::fill(top, top + n, f.value);
        break;
      case kFLoad:
        push();
        if (b.is_lane[f.slot]) {
          std::copy(lane(f.slot), lane(f.slot) + n, top);
        } else {
          std::fill(top, top + n, b.scalars[f.slot]);
        }
        break;
      case kFStore:
        std::copy(top, top + n, lane(f.slot));
        break;
      case kFStorePop:
        std::copy(top, top + n, lane(f.slot));
        pop(1);
        break;
      case kFPop: pop(1); break;
      case kFNegate:
        for (size_t k = 0; k < n; ++k) top[k] = -top[k];
        break;
      case kFArith: {
        double* a = top - N;
        switch (f.code) {
          case kAdd: for (size_t k = 0; k < n; ++k) a[k] += top[k]; break;
          case kSub: for (size_t k = 0; k < n; ++k) a[k] -= top[k]; break;
          case kMul: for (size_t k = 0; k < n; ++k) a[k] *= top[k]; break;
          default: for (size_t k = 0; k < n; ++k) a[k] = Arith(f.code, a[k], top[k]); break;
        }
        pop(1);
        break;
      }
      case kFAddC: for (size_t k = 0; k < n; ++k) top[k] += f.value; break;
      case kFSubC: for (size_t k = 0; k < n; ++k) top[k] -= f.value; break;
      case kFMulC: for (size_t k = 0; k < n; ++k) top[k] *= f.value; break;
      case kFDivC:
        for (size_t k = 0; k < n; ++k) top[k] = f.value == 0.0 ? 0.0 : top[k] / f.value;
        break;
      case kFAddV:
      case kFSubV:
      case kFMulV:
      case kFDivV: {
        // A variable that is not a lane is the same for every lane: broadcast it.
        double scalar[N];
        const double* v = lane(f.slot);
        if (!b.is_lane[f.slot]) {
          std::fill(scalar, scalar + n, b.scalars[f.slot]);
          v = scalar;
        }
        switch (f.op) {
          case kFAddV: for (size_t k = 0; k < n; ++k) top[k] += v[k]; break;
          case kFSubV: for (size_t k = 0; k < n; ++k) top[k] -= v[k]; break;
          case kFMulV: for (size_t k = 0; k < n; ++k) top[k] *= v[k]; break;
          default:
            for (size_t k = 0; k < n; ++k) top[k] = v[k] == 0.0 ? 0.0 : top[k] / v[k];
            break;
        }
        break;
      }
      case kFCall: {
        double* base = top - static_cast<size_t>(f.argc - 1) * N;
        // Every lane starts its run with the same generator state, so each sees the same draw.
        uint32_t after = rng;
        for (size_t k = 0; k < n; ++k) {
          double args[3];
          for (size_t a = 0; a < f.argc && a < 3; ++a) args[a] = base[a * N + k];
          uint32_t state = rng;
          base[k] = Call(f.code, args, state);
          after = state;
        }
        rng = after;
        pop(f.argc - 1u);
        break;
      }
      case kFUnsupported:
        pop(f.argc);
        push();
        std::fill(top, top + n, 0.0);
        break;
      default:
        break;
    }
  }
  return true;
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
          stack[depth - 2] = Arith(in.code, stack[depth - 2], stack[depth - 1]);
          --depth;
        }
        break;
      case Op::kCall:
        if (in.argc > 0 && depth >= in.argc) {
          const size_t base = depth - in.argc;
          stack[base] = Call(in.code, stack + base, rng);
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
