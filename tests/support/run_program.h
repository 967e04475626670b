// Runs a built program as a user would, to the end, and collects what it says.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "tests/support/files.h"

extern char** environ;

namespace halvex::test {

struct RunResult {
  int status = -1;  // exit status; -1 when it did not exit (killed by a signal)
  std::string out;
  std::string err;
};

// `env` entries override (or, with a null value, remove) variables of the test's environment; a
// non-zero `memory_limit` caps the child's address space.
inline RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::map<std::string, const char*>& env = {},
                            rlim_t memory_limit = 0) {
  char out_path[] = "/tmp/halvex-run-out-XXXXXX";
  char err_path[] = "/tmp/halvex-run-err-XXXXXX";
  const int out = ::mkstemp(out_path);
  const int err = ::mkstemp(err_path);
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_strings.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value != nullptr) env_strings.push_back(name + "=" + value);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (memory_limit != 0) {
      const rlimit limit{memory_limit, memory_limit};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  RunResult result;
  int wstatus = 0;
  if (pid > 0) ::waitpid(pid, &wstatus, 0);
  result.status = pid > 0 && WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  ::close(out);
  ::close(err);
  result.out = Slurp(out_path);
  result.err = Slurp(err_path);
  ::unlink(out_path);
  ::unlink(err_path);
  return result;
}

}  // namespace halvex::test
