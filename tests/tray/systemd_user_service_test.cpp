#include "tray/systemd_user_service.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace halvex {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A stand-in systemctl first on PATH: it records its arguments and acts on the unit name.
class StandInSystemctl : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvex-systemctl-XXXXXX";
    dir_ = mkdtemp(pattern);
    Install("#!/bin/sh\n"
            "echo \"$@\" >>" + dir_ + "/calls\n"
            "case \"$3\" in\n"
            "  halvexd|halvex-vis) exit 0 ;;\n"
            "  hang) echo $$ >" + dir_ + "/hang.pid; sleep 5.6; exit 0 ;;\n"
            "  killed) kill -9 $$ ;;\n"
            "  *) echo \"Unit $3.service not found.\" >&2; exit 5 ;;\n"
            "esac\n");
    const char* path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", (dir_ + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  void Install(const std::string& script) {
    const std::string path = dir_ + "/systemctl";
    std::ofstream(path) << script;
    chmod(path.c_str(), 0755);
  }
  std::string Calls() const { return Slurp(dir_ + "/calls"); }

  std::string dir_;
  std::string saved_path_;
};

TEST_F(StandInSystemctl, RunsTheUserManagerOnTheUnitAndReadsItsExitStatus) {
  struct Case {
    const char* unit;
    std::function<bool(ServiceControl&, std::string&)> call;
    bool ok;
    std::string args;
    std::string error;
  };
  const Case cases[] = {
      {"halvexd", [](ServiceControl& s, std::string& e) { return s.Start(e); }, true,
       "--user start halvexd\n", "untouched"},
      {"halvexd", [](ServiceControl& s, std::string& e) { return s.Restart(e); }, true,
       "--user restart halvexd\n", "untouched"},
      {"halvexd", [](ServiceControl& s, std::string& e) { return s.Launch("halvex-vis", e); },
       true, "--user start halvex-vis\n", "untouched"},
      {"nosuch", [](ServiceControl& s, std::string& e) { return s.Start(e); }, false,
       "--user start nosuch\n", "systemctl --user start nosuch failed (is the unit installed?)"},
      {"killed", [](ServiceControl& s, std::string& e) { return s.Restart(e); }, false,
       "--user restart killed\n",
       "systemctl --user restart killed failed (is the unit installed?)"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir_ + "/calls");
    auto service = MakeSystemdUserService(c.unit);
    std::string error = "untouched";
    EXPECT_EQ(c.call(*service, error), c.ok) << c.args;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Calls(), c.args);
  }
}

TEST_F(StandInSystemctl, NoRunnableSystemctlIsNotFound) {
  std::string error;
  // One that cannot be executed (its interpreter is missing), then none on PATH at all.
  Install("#!/nonexistent/interpreter\n");
  EXPECT_FALSE(MakeSystemdUserService("halvexd")->Start(error));
  EXPECT_EQ(error, "systemctl not found");
  setenv("PATH", "/nonexistent", 1);
  error.clear();
  EXPECT_FALSE(MakeSystemdUserService("halvexd")->Start(error));
  EXPECT_EQ(error, "systemctl not found");
}

// A call past the wait is given up on, and the child is reaped once it ends: no zombie is left.
TEST_F(StandInSystemctl, ACallThatHangsIsGivenUpAfterFiveSecondsAndReapedLater) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  std::string error;
  EXPECT_FALSE(MakeSystemdUserService("hang")->Start(error));
  const auto waited = Clock::now() - start;
  EXPECT_EQ(error, "systemctl --user start hang did not finish in time");
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_LT(waited, std::chrono::milliseconds(5500));

  long pid = 0;
  std::ifstream(dir_ + "/hang.pid") >> pid;
  ASSERT_GT(pid, 0);
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  ASSERT_TRUE(std::filesystem::exists(stat_path));  // still running when given up on
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (std::filesystem::exists(stat_path) && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(std::filesystem::exists(stat_path)) << Slurp(stat_path);
}

}  // namespace
}  // namespace halvex
