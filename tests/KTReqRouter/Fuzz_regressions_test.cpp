// Regression tests for faults that fuzzing found in the router's protocol
// paths. Each case replays, over the real listeners, the shortest input that
// broke a property, and checks that property.
#include <gtest/gtest.h>

#include <string>

#include "ProtocolTestSupport.h"

using namespace prototest;

namespace {

// The server lines of the monitor (request 10).
std::string ServerLines(const TestRouter& router) {
  Client monitor(router.monitorPort());
  return monitor.ask("10\n");
}

// An address written ":port" has no host. Registered, it would be handed out
// as "0  803", which the web adapter cannot read; it must be refused like any
// other address that does not parse.
TEST(FuzzRegressions, AddressWithoutHostIsRefused) {
  TestRouter router;
  LogSince log;
  Client server(router.mcPort());
  EXPECT_TRUE(server.send("2 0 :803 Pool1\n"));
  EXPECT_TRUE(server.closedByRouter());
  EXPECT_TRUE(log.waitFor("MCHandleASInitialFreeRequest(): error parsing request '2 0 :803 Pool1'"));
  EXPECT_EQ(ServerLines(router), Ok());
  EXPECT_EQ(AskGetServer(router.getServerPort(), GetServerRequest("Pool1", 0, 1)), "4");

  // The same holds for the other requests that carry an address.
  Client peer(router.mcPort());
  EXPECT_TRUE(peer.send("21 0 :7001 Pool1 1\n"));
  EXPECT_TRUE(peer.closedByRouter());
  Client monitor(router.monitorPort());
  EXPECT_EQ(monitor.ask("12\n"), Ok());
}

// One connection that announced two servers ends: both must go, or the one
// left behind stays idle and is handed out although nobody can reach it.
TEST(FuzzRegressions, EndOfAConnectionRemovesEveryServerItAnnounced) {
  TestRouter router;
  {
    Client connection(router.mcPort());
    ASSERT_EQ(connection.ask("2 0 10.0.0.1:801 Pool1\n"), Ok());
    ASSERT_EQ(connection.ask("2 0 10.0.0.2:802 Pool1\n"), Ok());
    ASSERT_EQ(connection.ask("4 0 10.0.0.2:802\n"), Ok());
  }
  ASSERT_TRUE(WaitFor([&] { return ServerLines(router) == Ok(); }, 3000)) << ServerLines(router);
  EXPECT_EQ(AskGetServer(router.getServerPort(), GetServerRequest("Pool1", 0, 1)), "4");
  Client monitor(router.monitorPort());
  EXPECT_EQ(monitor.ask("13\n"), Ok());  // the pool went with its servers
}

}  // namespace
