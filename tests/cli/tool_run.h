// Runs the built halvex binary as a user would and collects what it says: shared by the CLI tests.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/wav_bytes.h"

extern char** environ;

namespace halvex::testing {

inline const char* const kTool = HALVEX_BINARY_DIR "/cli/halvex";

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs the tool with args; env entries override (or, with a null value, remove) variables;
// a non-zero memory_limit caps the child's address space.
inline RunResult RunTool(const std::vector<std::string>& args, const std::map<std::string, const char*>& env = {},
                  rlim_t memory_limit = 0) {
  TempDir dir;
  const std::string out_path = dir.File("stdout"), err_path = dir.File("stderr");
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (env.count(name) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env)
    if (value != nullptr) env_strings.push_back(name + "=" + value);

  std::vector<char*> argv{const_cast<char*>(kTool)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (memory_limit != 0) {
      const rlimit limit{memory_limit, memory_limit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::execve(kTool, argv.data(), envp.data());
    ::_exit(127);
  }
  RunResult result;
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  result.out = Slurp(out_path);
  result.err = Slurp(err_path);
  return result;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

inline bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace halvex::testing
