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

class PidFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/halvex-instance-XXXXXX";
    dir_ = mkdtemp(pattern);
    path_ = dir_ + "/halvex-tray.pid";
    // A program that shows up in /proc as "halvex-tray".
    std::filesystem::copy_file("/bin/sleep", dir_ + "/halvex-tray");
    std::filesystem::permissions(dir_ + "/halvex-tray", std::filesystem::perms::owner_all);
  }
  void TearDown() override {
    for (pid_t pid : children_) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
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
    // Until exec is done the child still has our name.
    const std::string comm = "/proc/" + std::to_string(pid) + "/comm";
    for (int i = 0; i < 200 && Read(comm) != std::filesystem::path(program).filename(); ++i) {
      usleep(5000);
    }
    return pid;
  }
  static std::string Read(const std::string& path) {
    std::string line;
    std::getline(std::ifstream(path) >> std::ws, line);
    return line;
  }
  std::string Mine() const { return std::to_string(getpid()); }

  std::string dir_;
  std::string path_;
  std::vector<pid_t> children_;
};

// A file that names no running tray (missing, garbage, a dead pid, a recycled pid now held by
// another program, our own) is taken over, and nobody is signalled.
TEST_F(PidFile, TakesOverAFileThatNamesNoRunningTray) {
  const pid_t other = Spawn("/bin/sleep");
  const pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  for (const std::string& content :
       {std::string(), std::string("garbage"), std::to_string(other), std::to_string(dead), Mine()}) {
    std::filesystem::remove(path_);
    if (!content.empty()) std::ofstream(path_) << content << "\n";
    SingleInstance instance(path_, "halvex-tray");
    EXPECT_EQ(instance.Claim(), 0) << content;
    EXPECT_EQ(Read(path_), Mine()) << content;
    EXPECT_EQ(waitpid(other, nullptr, WNOHANG), 0) << content;  // still running
  }
}

TEST_F(PidFile, EndsARunningTrayWithSigtermAndOneThatIgnoresItWithSigkill) {
  for (bool ignores_term : {false, true}) {
    const pid_t tray = Spawn(dir_ + "/halvex-tray", ignores_term);
    std::ofstream(path_) << tray << "\n";
    SingleInstance instance(path_, "halvex-tray");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(instance.Claim(), tray);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(took >= std::chrono::milliseconds(SingleInstance::kGraceMs - 50), ignores_term);
    int raw = 0;
    waitpid(tray, &raw, 0);
    std::erase(children_, tray);
    EXPECT_EQ(WTERMSIG(raw), ignores_term ? SIGKILL : SIGTERM);
    EXPECT_EQ(Read(path_), Mine());
    // Written beside the file and renamed over it: nothing else is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 2);
  }
}

TEST_F(PidFile, IsRemovedAtExitOnlyWhileItStillNamesThisProcess) {
  {
    SingleInstance instance(path_, "halvex-tray");
    instance.Claim();
  }
  EXPECT_FALSE(std::filesystem::exists(path_));
  {
    SingleInstance instance(path_, "halvex-tray");
    instance.Claim();
    std::ofstream(path_) << "424242\n";  // a newer instance took over
  }
  { SingleInstance unclaimed(path_, "halvex-tray"); }  // --allow-multiple never claims
  EXPECT_EQ(Read(path_), "424242");
}

}  // namespace
}  // namespace halvex
