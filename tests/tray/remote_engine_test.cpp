#include "tray/remote_engine.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/core/ipc/fake_daemon.h"

namespace halvex {
namespace {

using testing::FakeDaemon;

// Every changing call sends its command line; a reply counts as success by its first two bytes.
TEST(RemoteEngine, SendsOneCommandPerCallAndJudgesTheReplyByItsFirstTwoBytes) {
  struct Reply {
    std::string line;
    FakeDaemon::Mode mode;
    std::string error;  // "" for success
  };
  const Reply replies[] = {
      {"OK set bass=0.5\n", FakeDaemon::Mode::kReply, ""},
      {"OK", FakeDaemon::Mode::kReply, ""},
      {"O\n", FakeDaemon::Mode::kReply, "O"},
      {"ERR not a number: x\n", FakeDaemon::Mode::kReply, "ERR not a number: x"},
      {"", FakeDaemon::Mode::kCloseWithoutReply, "no reply from halvexd"},
  };
  for (const Reply& reply : replies) {
    FakeDaemon daemon(reply.line, reply.mode);
    ASSERT_TRUE(daemon.ok());
    auto engine = MakeRemoteEngine(daemon.path());
    std::string errors[4];
    const bool results[] = {engine->SetEnabled(true, errors[0]), engine->SetEnabled(false, errors[1]),
                            engine->SetParam("bass", "0.5", errors[2]), engine->Reload(errors[3])};
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(results[i], reply.error.empty()) << reply.line << i;
      EXPECT_EQ(errors[i], reply.error) << reply.line << i;
    }
    EXPECT_EQ(daemon.lines(), (std::vector<std::string>{"on", "off", "set bass 0.5", "reload"}));
  }
  const std::string path = "/tmp/halvex-no-such-dir/halvexd.sock";
  std::string error;
  EXPECT_FALSE(MakeRemoteEngine(path)->SetEnabled(true, error));
  EXPECT_EQ(error, "ERR cannot reach halvexd (is it running? " + path + ")");
  EngineStatus status;
  EXPECT_FALSE(MakeRemoteEngine(path)->Fetch(status));
  EXPECT_TRUE(MakeRemoteEngine(path)->Devices().empty());
}

// A daemon that accepts and never answers costs one client time-out; the calls right after it
// (the rest of a refresh, the refresh after a user action) fail at once instead of waiting again.
TEST(RemoteEngine, ASilentDaemonHoldsTheCallerOnceForAboutTwoSeconds) {
  FakeDaemon silent("", FakeDaemon::Mode::kSilent);
  auto engine = MakeRemoteEngine(silent.path());
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  EXPECT_TRUE(engine->Devices().empty());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2600));
  start = Clock::now();
  EngineStatus status;
  std::string error;
  EXPECT_FALSE(engine->Fetch(status));
  EXPECT_FALSE(engine->SetParam("bass", "0.5", error));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(error, "ERR no reply from halvexd (timed out)");
  EXPECT_EQ(silent.lines().size(), 1u);
}

}  // namespace
}  // namespace halvex
