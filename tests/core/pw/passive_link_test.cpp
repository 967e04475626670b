// Links made through the shared PipeWire layer, checked in a private graph as pw-dump sees it.
#include "core/pw/passive_link.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/daemon/integration/pw_graph.h"

namespace halvex::test {
namespace {

// This process as a client of the private graph.
class GraphClient {
 public:
  explicit GraphClient(const PrivateGraph& graph) {
    ::setenv("PIPEWIRE_RUNTIME_DIR", graph.runtime_dir().c_str(), 1);
    pw_init(nullptr, nullptr);
    loop_.reset(pw_main_loop_new(nullptr));
    if (loop_) context_.reset(pw_context_new(pw_main_loop_get_loop(loop_.get()), nullptr, 0));
    if (context_) core_.reset(pw_context_connect(context_.get(), nullptr, 0));
    if (core_) pw_core_add_listener(core_.get(), listener_.hook(), &kEvents, this);
  }

  pw_core* core() const { return core_.get(); }

  // Runs the loop until the server has handled every request sent before; false after 5 s.
  bool Sync() {
    pending_ = pw_core_sync(core_.get(), PW_ID_CORE, 0);
    done_ = false;
    pw_loop* loop = pw_main_loop_get_loop(loop_.get());
    const PwLoopSource timeout(loop, pw_loop_add_timer(loop, &OnTimeout, this));
    timespec five{5, 0};
    pw_loop_update_timer(loop, timeout.get(), &five, nullptr, false);
    pw_main_loop_run(loop_.get());
    return done_;
  }

 private:
  static void OnDone(void* data, uint32_t id, int seq) {
    auto* self = static_cast<GraphClient*>(data);
    if (id != PW_ID_CORE || seq != self->pending_) return;
    self->done_ = true;
    pw_main_loop_quit(self->loop_.get());
  }
  static void OnTimeout(void* data, uint64_t) {
    pw_main_loop_quit(static_cast<GraphClient*>(data)->loop_.get());
  }
  static inline const pw_core_events kEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &OnDone;
    return events;
  }();

  PwMainLoopPtr loop_;
  PwContextPtr context_;
  PwCorePtr core_;
  PwListener listener_;
  int pending_ = 0;
  bool done_ = false;
};

// Registry id of the first port of `node` in `direction` ("in" or "out"), or -1.
int PortOf(const nlohmann::json& dump, int node, const std::string& direction) {
  for (const auto& object : dump) {
    if (object.value("type", "") != "PipeWire:Interface:Port") continue;
    const auto& info = object["info"];
    if (info.value("direction", "") == "output" && direction == "out" &&
        info["props"].value("node.id", -1) == node) {
      return object.value("id", -1);
    }
    if (info.value("direction", "") == "input" && direction == "in" &&
        info["props"].value("node.id", -1) == node) {
      return object.value("id", -1);
    }
  }
  return -1;
}

// The link object between the two ports, or null.
const nlohmann::json* LinkBetween(const nlohmann::json& dump, int out_port, int in_port) {
  for (const auto& object : dump) {
    if (object.value("type", "") != "PipeWire:Interface:Link") continue;
    const auto& info = object["info"];
    if (info.value("output-port-id", -1) == out_port && info.value("input-port-id", -1) == in_port) {
      return &object;
    }
  }
  return nullptr;
}

TEST(PassiveLink, JoinsTwoPortsPassivelyAndGoesWithItsOwner) {
  PrivateGraph graph;
  std::string error;
  ASSERT_TRUE(graph.Start(error)) << error;
  ASSERT_TRUE(graph.AddSink("from", "From", 2, 1, error)) << error;
  ASSERT_TRUE(graph.AddSink("to", "To", 2, 1, error)) << error;
  const nlohmann::json before = graph.Dump();
  const int out_port = PortOf(before, PrivateGraph::NodeId(before, "from"), "out");
  const int in_port = PortOf(before, PrivateGraph::NodeId(before, "to"), "in");
  ASSERT_GE(out_port, 0);
  ASSERT_GE(in_port, 0);
  ASSERT_EQ(LinkBetween(before, out_port, in_port), nullptr);

  GraphClient client(graph);
  ASSERT_NE(client.core(), nullptr);
  PwProxyPtr<pw_proxy> link = CreatePassiveLink(client.core(), out_port, in_port);
  ASSERT_TRUE(link);
  ASSERT_TRUE(client.Sync());
  nlohmann::json made;
  ASSERT_TRUE(PrivateGraph::WaitUntil(
      [&] { return LinkBetween(made = graph.Dump(), out_port, in_port) != nullptr; }, 5000));
  const auto& props = (*LinkBetween(made, out_port, in_port))["info"]["props"];
  const auto passive = props.find("link.passive");
  ASSERT_NE(passive, props.end()) << props.dump();
  EXPECT_TRUE(*passive == true || *passive == "true") << props.dump();

  link.reset();
  ASSERT_TRUE(client.Sync());
  EXPECT_TRUE(PrivateGraph::WaitUntil(
      [&] { return LinkBetween(graph.Dump(), out_port, in_port) == nullptr; }, 5000))
      << "a link outlived its owner";
}

}  // namespace
}  // namespace halvex::test
