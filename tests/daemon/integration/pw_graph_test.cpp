#include "tests/daemon/integration/pw_graph.h"

#include <gtest/gtest.h>

namespace halvex::test {
namespace {

TEST(PrivateGraph, RunsPrivatelyAndManagesSinks) {
  PrivateGraph graph;
  std::string error;
  ASSERT_TRUE(graph.Start(error)) << error;
  EXPECT_EQ(graph.runtime_dir().rfind("/tmp/halvex-graph-", 0), 0u);

  ASSERT_TRUE(graph.AddSink("speakers", "Test \"Speakers\"", 2, 1000, error)) << error;
  ASSERT_TRUE(graph.AddSink("mono", "Mono", 1, 5, error)) << error;
  const nlohmann::json dump = graph.Dump();
  const int id = PrivateGraph::NodeId(dump, "speakers");
  ASSERT_GE(id, 0);
  const auto& props = (*PrivateGraph::Object(dump, id))["info"]["props"];
  EXPECT_EQ(props.value("node.description", ""), "Test \"Speakers\"");
  EXPECT_EQ(props.value("priority.session", 0), 1000);

  EXPECT_TRUE(graph.RemoveNode("mono"));
  EXPECT_LT(PrivateGraph::NodeId(graph.Dump(), "mono"), 0);

  const std::string base = graph.runtime_dir();
  graph.Stop();
  EXPECT_FALSE(PrivateGraph::WaitUntil([&] { return access(base.c_str(), F_OK) == 0; }, 0));
}

}  // namespace
}  // namespace halvex::test
