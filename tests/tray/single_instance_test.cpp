#include "tray/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace halvex {
namespace {

using Clock = std::chrono::steady_clock;

class PidFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvex-instance-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/halvex-tray.pid";
    // A process that shows up in /proc as "halvex-tray".
    std::filesystem::copy_file("/bin/sleep", dir_ + "/halvex-tray");
    std::filesystem::permissions(dir_ + "/halvex-tray", std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
  }

  pid_t Spawn(const std::string& program, bool ignore_term = false) {
    const pid_t pid = fork();
    if (pid == 0) {
      if (ignore_term) signal(SIGTERM, SIG_IGN);  // kept across exec
      execl(program.c_str(), program.c_str(), "30", static_cast<char*>(nullptr));
      _exit(127);
    }
    children_.push_back(pid);
    // Wait until it has become the program (exec done), or the name check would see our own.
    const std::string name = std::filesystem::path(program).filename();
    for (int i = 0; i < 200 && Comm(pid) != name; ++i) usleep(5000);
    return pid;
  }
  // The exit status as waitpid reports it, reaping the child.
  int Reap(pid_t pid) {
    int raw = 0;
    waitpid(pid, &raw, 0);
    std::erase(children_, pid);
    return raw;
  }
  static std::string Comm(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string line;
    std::getline(in, line);
    return line;
  }
  void Write(const std::string& text) { std::ofstream(path_) << text; }
  std::string Read() const {
    std::ifstream in(path_);
    std::string line;
    std::getline(in, line);
    return line;
  }
  bool Alive(pid_t pid) { return waitpid(pid, nullptr, WNOHANG) == 0; }
  std::string Mine() const { return std::to_string(getpid()); }

  std::string dir_;
  std::string path_;
  std::vector<pid_t> children_;
};

// A file that names no running tray is simply taken over, and nobody is signalled.
TEST_F(PidFile, TakesOverAFileThatNamesNoRunningTray) {
  const pid_t other = Spawn("/bin/sleep");  // a live process of another name: a recycled pid
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  for (const std::string& content :
       {std::string(), std::string("garbage\n"), std::to_string(other) + "\n",
        std::to_string(dead) + "\n", Mine() + "\n"}) {
    Write(content);
    SingleInstance instance(path_, "halvex-tray");
    EXPECT_EQ(instance.Claim(), 0) << content;
    EXPECT_EQ(Read(), Mine()) << content;
    EXPECT_TRUE(Alive(other)) << content;
  }
  std::filesystem::remove(path_);
  SingleInstance instance(path_, "halvex-tray");
  EXPECT_EQ(instance.Claim(), 0);
  EXPECT_EQ(Read(), Mine());
}

TEST_F(PidFile, EndsARunningTrayWithSigtermAndOneThatIgnoresItWithSigkill) {
  struct Case {
    bool ignores_term;
    int signal;
    int min_ms, max_ms;
  };
  const Case cases[] = {
      {false, SIGTERM, 0, 1000},
      {true, SIGKILL, SingleInstance::kGraceMs - 50, SingleInstance::kGraceMs + 1000},
  };
  for (const Case& c : cases) {
    const pid_t tray = Spawn(dir_ + "/halvex-tray", c.ignores_term);
    ASSERT_EQ(Comm(tray), "halvex-tray");
    Write(std::to_string(tray) + "\n");
    SingleInstance instance(path_, "halvex-tray");
    const auto start = Clock::now();
    EXPECT_EQ(instance.Claim(), tray);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LT(ms, c.max_ms);
    const int raw = Reap(tray);
    EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == c.signal) << raw;
    EXPECT_EQ(Read(), Mine());
    // The pid is written whole through a rename: nothing is left beside the file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                            std::filesystem::directory_iterator()),
              2);
  }
}

TEST_F(PidFile, IsRemovedAtExitOnlyWhileItStillNamesThisProcess) {
  {
    SingleInstance instance(path_, "halvex-tray");
    instance.Claim();
    EXPECT_TRUE(instance.owned());
  }
  EXPECT_FALSE(std::filesystem::exists(path_));
  {
    SingleInstance instance(path_, "halvex-tray");
    instance.Claim();
    Write("424242\n");  // a newer instance took over
  }
  EXPECT_EQ(Read(), "424242");
  {
    SingleInstance unclaimed(path_, "halvex-tray");  // --allow-multiple never claims
  }
  EXPECT_EQ(Read(), "424242");
}

TEST(InstancePath, FollowsTheRuntimeDirectory) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string keep = saved != nullptr ? saved : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(DefaultInstancePath(), "/run/user/1000/halvex-tray.pid");
  setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(DefaultInstancePath(), "/tmp/halvex-tray.pid");
  if (saved != nullptr) setenv("XDG_RUNTIME_DIR", keep.c_str(), 1);
  else unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace halvex
