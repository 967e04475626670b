#include "tray/remote_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "tests/core/ipc/fake_daemon.h"

namespace halvex {
namespace {

using testing::FakeDaemon;

// What one call sends, and how each kind of reply comes back.
TEST(RemoteEngine, SendsOneCommandPerCallAndReadsTheReplyByItsFirstTwoBytes) {
  struct Case {
    std::function<bool(EngineRemote&, std::string&)> call;
    std::string command;
  };
  const Case calls[] = {
      {[](EngineRemote& e, std::string& err) { return e.SetEnabled(true, err); }, "on"},
      {[](EngineRemote& e, std::string& err) { return e.SetEnabled(false, err); }, "off"},
      {[](EngineRemote& e, std::string& err) { return e.SetParam("bass", "0.5", err); },
       "set bass 0.5"},
      {[](EngineRemote& e, std::string& err) { return e.Reload(err); }, "reload"},
  };
  struct Reply {
    std::string line;
    FakeDaemon::Mode mode;
    bool ok;
    std::string error;
  };
  const Reply replies[] = {
      {"OK set bass=0.5\n", FakeDaemon::Mode::kReply, true, "untouched"},
      {"OK", FakeDaemon::Mode::kReply, true, "untouched"},
      {"O\n", FakeDaemon::Mode::kReply, false, "O"},
      {"ERR not a number: x\n", FakeDaemon::Mode::kReply, false, "ERR not a number: x"},
      {"", FakeDaemon::Mode::kCloseWithoutReply, false, "no reply from halvexd"},
  };
  for (const Reply& reply : replies) {
    FakeDaemon daemon(reply.line, reply.mode);
    ASSERT_TRUE(daemon.ok());
    auto engine = MakeRemoteEngine(daemon.path());
    std::vector<std::string> sent;
    for (const Case& c : calls) {
      std::string error = "untouched";
      EXPECT_EQ(c.call(*engine, error), reply.ok) << reply.line << c.command;
      EXPECT_EQ(error, reply.error) << reply.line << c.command;
      sent.push_back(c.command);
    }
    EXPECT_EQ(daemon.lines(), sent);
  }
}

TEST(RemoteEngine, FetchesStatusAndDevicesFromTheirReplies) {
  FakeDaemon status("OK enabled=1 spatial_algorithm=matrix_steer\n");
  EngineStatus got;
  EXPECT_TRUE(MakeRemoteEngine(status.path())->Fetch(got));
  EXPECT_TRUE(got.enabled);
  EXPECT_EQ(got.config.spatial_algorithm, SpatialAlgorithm::kMatrixSteer);
  EXPECT_EQ(status.lines(), std::vector<std::string>{"status"});

  FakeDaemon devices("OK devices\tspeakers|Test Speakers|1000|1\n");
  const std::vector<AudioDevice> list = MakeRemoteEngine(devices.path())->Devices();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "speakers");
  EXPECT_EQ(devices.lines(), std::vector<std::string>{"devices"});
}

TEST(RemoteEngine, ADaemonThatIsNotRunningIsUnreachableWithTheClientsText) {
  const std::string path = "/tmp/halvex-no-such-dir/halvexd.sock";
  auto engine = MakeRemoteEngine(path);
  EngineStatus status;
  status.reachable = true;
  EXPECT_FALSE(engine->Fetch(status));
  EXPECT_FALSE(status.reachable);
  EXPECT_TRUE(engine->Devices().empty());
  std::string error;
  EXPECT_FALSE(engine->SetEnabled(true, error));
  EXPECT_EQ(error, "ERR cannot reach halvexd (is it running? " + path + ")");
}

// A daemon that accepts and never answers costs one client time-out; the calls right after it
// (the rest of a refresh, the refresh after a user action) fail at once instead of waiting again.
TEST(RemoteEngine, ASilentDaemonHoldsTheCallerOnceForAboutTwoSeconds) {
  FakeDaemon silent("", FakeDaemon::Mode::kSilent);
  auto engine = MakeRemoteEngine(silent.path());
  using Clock = std::chrono::steady_clock;
  const auto ms = [](Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
  };
  auto start = Clock::now();
  EXPECT_TRUE(engine->Devices().empty());
  EXPECT_LT(ms(start), 2600);
  start = Clock::now();
  EngineStatus status;
  EXPECT_FALSE(engine->Fetch(status));
  std::string error;
  EXPECT_FALSE(engine->SetParam("bass", "0.5", error));
  EXPECT_LT(ms(start), 200);
  EXPECT_EQ(error, "ERR no reply from halvexd (timed out)");
  EXPECT_EQ(silent.lines().size(), 1u);
}

}  // namespace
}  // namespace halvex
