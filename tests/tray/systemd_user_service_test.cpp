#include "tray/systemd_user_service.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/files.h"

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

// A stand-in systemctl first on PATH: it records its arguments and acts on the unit name.
class StandInSystemctl : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvex-systemctl-XXXXXX";
    dir_ = mkdtemp(pattern);
    Install("#!/bin/sh\necho \"$@\" >>" + dir_ + "/calls\ncase \"$3\" in\n"
            "  halvexd|halvex-vis) exit 0 ;;\n"
            "  hang) echo $$ >" + dir_ + "/hang.pid; sleep 6.5 ;;\n"
            "  killed) kill -9 $$ ;;\n"
            "  *) exit 5 ;;\nesac\n");
    saved_path_ = std::getenv("PATH");
    setenv("PATH", (dir_ + ":" + saved_path_).c_str(), 1);
  }
  void TearDown() override {
    setenv("PATH", saved_path_.c_str(), 1);
    std::filesystem::remove_all(dir_);
  }
  void Install(const std::string& script) {
    std::ofstream(dir_ + "/systemctl") << script;
    chmod((dir_ + "/systemctl").c_str(), 0755);
  }
  std::string Calls() {
    const std::string text = test::Slurp(dir_ + "/calls");
    std::filesystem::remove(dir_ + "/calls");
    return text;
  }

  std::string dir_;
  std::string saved_path_;
};

TEST_F(StandInSystemctl, RunsTheUserManagerOnTheUnitAndReadsItsExitStatus) {
  struct Case {
    const char* unit;
    int call;  // 0 start, 1 restart, 2 launch halvex-vis
    std::string args;
    std::string error;  // "" for success
  };
  const Case cases[] = {
      {"halvexd", 0, "--user start halvexd\n", ""},
      {"halvexd", 1, "--user restart halvexd\n", ""},
      {"halvexd", 2, "--user start halvex-vis\n", ""},
      {"nosuch", 0, "--user start nosuch\n",
       "systemctl --user start nosuch failed (is the unit installed?)"},
      {"killed", 1, "--user restart killed\n",
       "systemctl --user restart killed failed (is the unit installed?)"},
  };
  for (const Case& c : cases) {
    auto service = MakeSystemdUserService(c.unit);
    std::string error;
    const bool ok = c.call == 0   ? service->Start(error)
                    : c.call == 1 ? service->Restart(error)
                                  : service->Launch("halvex-vis", error);
    EXPECT_EQ(ok, c.error.empty()) << c.args;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(Calls(), c.args);
  }
  // One that cannot be executed (its interpreter is missing), then none on PATH at all.
  for (const char* path : {"", "/nonexistent"}) {
    Install("#!/nonexistent/interpreter\n");
    if (*path != '\0') setenv("PATH", path, 1);
    std::string error;
    EXPECT_FALSE(MakeSystemdUserService("halvexd")->Start(error));
    EXPECT_EQ(error, "systemctl not found");
  }
}

// A call past the wait is given up on, and the child is reaped once it ends: no zombie is left.
TEST_F(StandInSystemctl, ACallThatHangsIsGivenUpAfterFiveSecondsAndReapedLater) {
  const auto start = Clock::now();
  std::string error;
  EXPECT_FALSE(MakeSystemdUserService("hang")->Start(error));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(4900));
  EXPECT_EQ(error, "systemctl --user start hang did not finish in time");
  long pid = 0;
  std::ifstream(dir_ + "/hang.pid") >> pid;
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  ASSERT_TRUE(pid > 0 && std::filesystem::exists(stat));  // still running when given up on
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (std::filesystem::exists(stat) && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(std::filesystem::exists(stat));
}

}  // namespace
}  // namespace halvex
