#include "vis/eel_parser.h"

#include <string>
#include <unordered_set>

#include "vis/number_conversion.h"

namespace halvex::vis {

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

  // The binary operators of one precedence level, all left-associative.
  struct OperatorLevel {
    char symbol[4];
    uint8_t code[4];
  };
  static constexpr OperatorLevel kSums{{'+', '-', '&', '|'}, {kAdd, kSub, kAnd, kOr}};
  static constexpr OperatorLevel kProducts{{'*', '/', '%', '\0'}, {kMul, kDiv, kMod, 0}};

  // Moves past the next operator when it belongs to `level`.
  bool TakeOperator(const OperatorLevel& level, uint8_t& code) {
    SkipSpace();
    const char c = Peek();
    if (c == '\0') return false;
    for (size_t i = 0; i < 4; ++i) {
      if (c == level.symbol[i]) {
        ++pos_;
        code = level.code[i];
        return true;
      }
    }
    return false;
  }

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
    uint8_t op;
    while (!failed_ && TakeOperator(kSums, op)) {
      ParseProduct();
      if (!failed_) Emit(Op::kArith, 0.0, 0, op);
    }
    Leave();
  }

  void ParseProduct() {
    ParseUnary();
    uint8_t op;
    while (!failed_ && TakeOperator(kProducts, op)) {
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

}  // namespace

bool ParseEel(std::string_view text, VariableTable& table, std::vector<Instruction>& code,
              CompileResult& result) {
  Parser parser(text, table, code, result);
  parser.ParseProgram();
  return !parser.failed();
}

}  // namespace halvex::vis
