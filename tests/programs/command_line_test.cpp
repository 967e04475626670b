// The first things a user types: every built program with --help, --version and an option it does
// not know, run as a user would, and nothing started behind their back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/about.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace halvex::test {
namespace {

struct Program {
  const char* name;
  const char* path;        // below the build tree
  int help_status;         // the tray and the visualizer have always ended their usage with 1
  bool signs_usage;        // the usage ends with the makers and the installed README
  int bad_option_status;
  std::string bad_option_line;  // first line of what an unknown option prints
};

std::vector<Program> BuiltPrograms() {
  const std::string root = HALVEX_BINARY_DIR;
  std::vector<Program> programs;
#ifdef HALVEX_HAS_halvexd
  programs.push_back({"halvexd", "/daemon/halvexd", 0, true, 2,
                      "halvexd: unrecognised option: --no-such-option (see " + root +
                          "/daemon/halvexd --help)"});
#endif
  programs.push_back({"halvex", "/cli/halvex", 0, true, 1, "Usage: " + root + "/cli/halvex <command>"});
#ifdef HALVEX_HAS_halvex_tray
  programs.push_back({"halvex-tray", "/tray/halvex-tray", 1, false, 1,
                      "error: unrecognised argument: --no-such-option"});
#endif
#ifdef HALVEX_HAS_halvex_vis
  programs.push_back({"halvex-vis", "/vis/halvex-vis", 1, true, 1,
                      "error: unrecognised argument: --no-such-option"});
#endif
  return programs;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A private runtime folder and no reachable PipeWire: a program that did start something would
// leave its socket here or complain about the server.
class ProgramCommandLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  RunResult Run(const Program& program, const std::vector<std::string>& args) {
    return RunProgram(std::string(HALVEX_BINARY_DIR) + program.path, args,
                      {{"HOME", dir_.c_str()},
                       {"XDG_RUNTIME_DIR", dir_.c_str()},
                       {"XDG_CONFIG_HOME", nullptr},
                       {"PIPEWIRE_REMOTE", "halvex-no-such-server"},
                       {"DISPLAY", nullptr},
                       {"WAYLAND_DISPLAY", nullptr}});
  }

  TempDir temp_;
  const std::string dir_ = temp_.path();
};

TEST_F(ProgramCommandLine, VersionSaysNameAndProjectVersionOnStandardOutput) {
  for (const Program& program : BuiltPrograms()) {
    const RunResult r = Run(program, {"--version"});
    EXPECT_EQ(r.status, 0) << program.name << "\n" << r.err;
    EXPECT_EQ(r.out, std::string(program.name) + " " + HALVEX_PROJECT_VERSION + "\n");
    EXPECT_EQ(r.err, "") << program.name;
  }
}

TEST_F(ProgramCommandLine, HelpPrintsUsageOnStandardErrorAndStartsNothing) {
  for (const Program& program : BuiltPrograms()) {
    for (const char* flag : {"-h", "--help"}) {
      const RunResult r = Run(program, {flag});
      EXPECT_EQ(r.status, program.help_status) << program.name << " " << flag << "\n" << r.err;
      EXPECT_EQ(FirstLine(r.err).rfind("Usage: " + std::string(HALVEX_BINARY_DIR) + program.path, 0), 0u)
          << program.name << ": " << r.err;
      EXPECT_EQ(r.out, "") << program.name;
      const std::string signature =
          std::string("Halvex by the Halvex developers\n") + kProjectPage + "\n";
      EXPECT_EQ(r.err.ends_with(signature), program.signs_usage) << program.name;
      EXPECT_EQ(r.err.find("PipeWire server"), std::string::npos) << program.name << ": " << r.err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir_)) << program.name << " left files behind";
  }
}

TEST_F(ProgramCommandLine, UnknownOptionIsRefusedWithoutStartingAnything) {
  for (const Program& program : BuiltPrograms()) {
    const RunResult r = Run(program, {"--no-such-option"});
    EXPECT_EQ(r.status, program.bad_option_status) << program.name << "\n" << r.err;
    EXPECT_EQ(FirstLine(r.err).rfind(program.bad_option_line, 0), 0u) << program.name << ": " << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir_)) << program.name << " left files behind";
  }
}

TEST_F(ProgramCommandLine, DaemonUsageNamesItsOptionsEnvironmentFilesAndUnit) {
#ifndef HALVEX_HAS_halvexd
  GTEST_SKIP() << "halvexd is not built";
#endif
  const RunResult r = Run(BuiltPrograms().front(), {"--config", "/nonexistent.json", "--help"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* part : {"--config FILE", "--version", "XDG_RUNTIME_DIR", "HALVEX_TRACE_ROUTING",
                           "config.json", "halvexd.sock", "systemctl --user enable --now halvexd"}) {
    EXPECT_NE(r.err.find(part), std::string::npos) << part << " missing from:\n" << r.err;
  }
  // An unknown option is one line, not the whole text.
  const RunResult bad = Run(BuiltPrograms().front(), {"-x"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
}

}  // namespace
}  // namespace halvex::test
