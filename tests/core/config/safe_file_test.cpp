#include "core/config/safe_file.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/config/json_config.h"
#include "tests/support/other_user.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Read(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class SafeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::MakeStickyFolder();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { test::RemoveFolder(dir_); }

  // Something left at `path` by another user where that can be arranged, else by us: the
  // outcome must not depend on who planted it.
  template <typename Plant>
  void Planted(Plant plant) {
    if (test::CanActAsAnotherUser()) {
      ASSERT_TRUE(test::AsNobody(plant));
    } else {
      ASSERT_TRUE(plant());
    }
  }

  std::string dir_;
};

TEST_F(SafeFile, SpecialFilesAreRefusedAtOnceInsteadOfBlocking) {
  const std::string fifo = dir_ + "/fifo.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string socket_file = dir_ + "/socket.json";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_file.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);

  const auto start = Clock::now();
  std::string text;
  // /dev/zero never ends and /dev/tty may wait for a terminal: devices are never read.
  EXPECT_EQ(ReadSmallFileChecked(fifo, 1024, text), SmallFileRead::kNotRegular);
  EXPECT_EQ(ReadSmallFileChecked("/dev/zero", 1024, text), SmallFileRead::kNotRegular);
  EXPECT_NE(ReadSmallFileChecked(socket_file, 1024, text), SmallFileRead::kOk);
  EXPECT_EQ(ReadSmallFileChecked(dir_, 1024, text), SmallFileRead::kCannotOpen);
  EXPECT_EQ(ReadSmallFileChecked(dir_ + "/absent", 1024, text), SmallFileRead::kCannotOpen);

  JsonConfigProvider provider(fifo);
  ProcessorConfig config;
  EXPECT_FALSE(provider.Load(config));
  EXPECT_EQ(provider.LastError(), "not a regular file: " + fifo);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 1.0);
  ::close(listener);
}

// A link or FIFO planted at the old fixed temporary name can neither redirect a save nor hang it.
TEST_F(SafeFile, ThingsPlantedAtTheTemporaryNameAreLeftAlone) {
  const std::string victim = dir_ + "/victim";
  std::ofstream(victim) << "precious";
  ::chmod(victim.c_str(), 0644);
  const std::string path = dir_ + "/config.json";
  const std::string fifo_path = dir_ + "/other.json";
  Planted([&] {
    return ::symlink(victim.c_str(), (path + ".tmp").c_str()) == 0 &&
           ::mkfifo((fifo_path + ".tmp").c_str(), 0666) == 0;
  });

  std::string error;
  ASSERT_TRUE(ReplaceFileAtomically(path, "{\"a\": 1}\n", error)) << error;
  ASSERT_TRUE(ReplaceFileAtomically(fifo_path, "{}\n", error)) << error;
  EXPECT_EQ(Read(victim), "precious");
  EXPECT_EQ(Read(path), "{\"a\": 1}\n");
  EXPECT_EQ(Read(fifo_path), "{}\n");
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(::lstat((path + ".tmp").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(::lstat((fifo_path + ".tmp").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  // Nothing but the two saved files, the planted things and the victim.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 5);
}

}  // namespace
}  // namespace halvex
