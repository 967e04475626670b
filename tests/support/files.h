// Reading and writing whole files in tests: what a program left behind, and what it is given.
#pragma once

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace halvex::test {

// The whole file, bytes as they are; empty when it cannot be read.
inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace halvex::test
