// halvex-keydoc: fills the settable-key placeholders of a man page or completion template from
// the configuration library, so the installed documentation cannot drift from the code.
// Usage: halvex-keydoc NOTES TEMPLATE OUT [NAME=VALUE...]
//   NOTES     one line per key: the key, blanks, what it does (every key exactly once)
//   @NAME@                each NAME=VALUE given on the command line (version, date)
//   @SETTABLE_KEYS_MAN@   a man(7) .TP list of the keys with kinds, ranges, defaults and notes
//   @SETTABLE_KEYS@       the keys, blank-separated, in table order
//   @KEY_VALUE_CASES@     bash case arms: each choice or flag key and its words
//   @CONTROL_COMMANDS@ ... the control protocol's words (see control_words_fill.h)
#include <clocale>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "core/config/config_validation.h"
#include "core/config/number_format.h"
#include "packaging/keydoc/control_words_fill.h"
#include "packaging/keydoc/key_table.h"

namespace halvex {
namespace {

// Text for a man page body line: backslashes and minus signs escaped, no control at line start.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string Join(const std::vector<std::string>& words, const char* separator,
                 const char* last_separator) {
  std::string out;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out += i + 1 == words.size() ? last_separator : separator;
    out += words[i];
  }
  return out;
}

std::string Accepts(const KeyDoc& row) {
  switch (row.kind) {
    case ParamKind::Float: {
      if (row.low && row.high) return FormatNumber(*row.low) + " to " + FormatNumber(*row.high);
      if (row.low) return "at least " + FormatNumber(*row.low);
      if (row.high) return "at most " + FormatNumber(*row.high);
      return "any number";
    }
    case ParamKind::Flag:
      return Join(row.choices, ", ", " or ");
    case ParamKind::Choice:
      return Join(row.choices, ", ", " or ");
    case ParamKind::Device:
      return "auto, or a device name of at most " + std::to_string(kMaxDeviceNameLength) +
             " bytes of letters, digits, '.', '_', '-' and ':'";
  }
  return "";
}

std::string ManList(const std::vector<KeyDoc>& rows, const std::map<std::string, std::string>& notes) {
  std::string out;
  for (const KeyDoc& row : rows) {
    out += ".TP\n.B " + row.key + "\n";
    out += Roff(Accepts(row)) + "; default " + Roff(row.default_text) + ".\n";
    out += Roff(notes.at(row.key)) + "\n";
  }
  if (!out.empty()) out.pop_back();
  return out;
}

std::string KeyList(const std::vector<KeyDoc>& rows) {
  std::vector<std::string> keys;
  for (const KeyDoc& row : rows) keys.push_back(row.key);
  return Join(keys, " ", " ");
}

std::string BashCases(const std::vector<KeyDoc>& rows) {
  std::string out;
  for (const KeyDoc& row : rows) {
    if (row.choices.empty()) continue;
    if (!out.empty()) out += "\n";
    out += "                    " + row.key + ") values=\"" + Join(row.choices, " ", " ") + "\" ;;";
  }
  return out;
}

bool ReadNotes(const std::string& path, const std::vector<KeyDoc>& rows,
               std::map<std::string, std::string>& notes, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot open: " + path;
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string key, note;
    words >> key >> std::ws;
    std::getline(words, note);
    if (note.empty()) {
      error = "key without a note: " + key;
      return false;
    }
    if (!notes.emplace(key, note).second) {
      error = "key noted twice: " + key;
      return false;
    }
  }
  for (const KeyDoc& row : rows) {
    if (!notes.count(row.key)) {
      error = "settable key without a note: " + row.key;
      return false;
    }
  }
  for (const auto& [key, note] : notes) {
    if (FindParam(key) == nullptr) {
      error = "note for a key that is not settable: " + key;
      return false;
    }
  }
  return true;
}

void ReplaceAll(std::string& text, const std::string& token, const std::string& value) {
  for (std::size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + value.size())) {
    text.replace(at, token.size(), value);
  }
}

int Run(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  if (argc < 4) {
    std::fprintf(stderr, "Usage: %s NOTES TEMPLATE OUT [NAME=VALUE...]\n", argv[0]);
    return 1;
  }
  const std::vector<KeyDoc> rows = DescribeSettableKeys();
  std::map<std::string, std::string> notes;
  std::string error;
  if (!ReadNotes(argv[1], rows, notes, error)) {
    std::fprintf(stderr, "halvex-keydoc: %s\n", error.c_str());
    return 1;
  }
  std::ifstream in(argv[2]);
  if (!in) {
    std::fprintf(stderr, "halvex-keydoc: cannot open: %s\n", argv[2]);
    return 1;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ReplaceAll(text, "@SETTABLE_KEYS_MAN@", ManList(rows, notes));
  ReplaceAll(text, "@SETTABLE_KEYS@", KeyList(rows));
  ReplaceAll(text, "@KEY_VALUE_CASES@", BashCases(rows));
  for (const auto& [token, value] : ControlWordFills()) ReplaceAll(text, token, value);
  for (int i = 4; i < argc; ++i) {
    const std::string assignment = argv[i];
    const std::size_t equals = assignment.find('=');
    if (equals == std::string::npos) {
      std::fprintf(stderr, "halvex-keydoc: not NAME=VALUE: %s\n", argv[i]);
      return 1;
    }
    ReplaceAll(text, "@" + assignment.substr(0, equals) + "@", assignment.substr(equals + 1));
  }
  // A placeholder left over is a typo in the template or a missing NAME=VALUE.
  std::smatch left;
  if (std::regex_search(text, left, std::regex("@[A-Z][A-Z_]*@"))) {
    std::fprintf(stderr, "halvex-keydoc: %s: nothing to fill %s with\n", argv[2], left.str().c_str());
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) {
    std::fprintf(stderr, "halvex-keydoc: cannot write: %s\n", argv[3]);
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace halvex

int main(int argc, char** argv) { return halvex::Run(argc, argv); }
