// Tests of the monitor protocol over the real listener: framing of empty and
// full replies, the exact server and pool lines after a scripted sequence of
// registrations and assignments on a pinned clock, the reset requests, and
// refused requests that close the connection.
#include "KTMonitorRequestHandler.h"

#include <gtest/gtest.h>

#include <string>

#include "ProtocolTestSupport.h"

using namespace prototest;

namespace {

class MonitorTest : public ::testing::Test {
 protected:
  TestRouter router_;
  LogSince log_;

  std::unique_ptr<Client> Register(const std::string& header) {
    auto client = std::make_unique<Client>(router_.mcPort());
    EXPECT_EQ(client->ask(header), Ok()) << header;
    return client;
  }
  std::string Ask(const std::string& datagram) {
    return AskGetServer(router_.getServerPort(), datagram);
  }
};

TEST_F(MonitorTest, EmptyRouterAnswersEveryRequestOnOneConnection) {
  Client monitor(router_.monitorPort());
  for (const char* request : {"10\n", "11\n", "12\n", "13\n", "15\n", "13 trailing words\n"}) {
    EXPECT_EQ(monitor.ask(request), "0 0\n") << request;
  }
  EXPECT_FALSE(router_.listenersFailed());
}

TEST_F(MonitorTest, LinesAfterRegistrationsAndAssignmentsAreExact) {
  PinnedClock clock;
  auto s1 = Register("2 0 10.0.0.1:801 Pool1 11 2\n");
  auto s2 = Register("2 0 10.0.0.2:802 Pool1 12 2\n");
  auto s3 = Register("2 0 10.0.0.3:803 Pool2\n");
  clock.advance(5000);

  // Least recently used of the two priority-2 servers: the earlier one.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.7", "S1")), "0 10.0.0.1 801");
  EXPECT_EQ(s1->ask("4 0 10.0.0.1:801\n"), Ok());
  clock.advance(120);
  EXPECT_EQ(s1->ask("3 0 10.0.0.1:801\n"), Ok());  // 120 ms from the assignment
  // Same client again: affinity brings it back to the same server.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.7", "S1")), "0 10.0.0.1 801");
  EXPECT_EQ(Ask(GetServerRequest("Pool2", 0, 3, "10.0.0.8", "S3", "jpg", 0)), "2");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.9", "S2")), "0 10.0.0.2 802");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 2, 3, "10.0.0.9", "S2")), "4");
  clock.advance(10000);

  Client monitor(router_.monitorPort());
  EXPECT_EQ(monitor.ask("13\n"), Ok("P Pool1 0 2 0 0 0 3 1 1 0 2 0 0 0 2 0 0 0 0 1 0\r\n"
                                    "P Pool2 1 1 0 0 0 0 1 0 0 0 1 0 0 0 0 0 0 0 0 1\r\n"));
  EXPECT_EQ(monitor.ask("10\n"),
            Ok("S Pool1 10.0.0.1:801 11 assigned 10 2 0 1 120 0 0 S1 /shop/index.html 10.0.0.7 "
               "html 2 Store1 10 \r\n"
               "S Pool1 10.0.0.2:802 12 assigned 15 1 0 0 0 0 0 S2 /shop/index.html 10.0.0.9 "
               "html 2 Store1 10 \r\n"
               "S Pool2 10.0.0.3:803 0 idle 15 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) "
               "15 \r\n"));

  // Resetting one pool clears its counters only; resetting all clears the rest.
  EXPECT_EQ(monitor.ask("14 0 Pool1\n"), Ok());
  EXPECT_EQ(monitor.ask("13\n"), Ok("P Pool1 0 2 0 0 0 0 0 0 0 0 0 0 0 2 0 0 0 0 0 0\r\n"
                                    "P Pool2 1 1 0 0 0 0 1 0 0 0 1 0 0 0 0 0 0 0 0 1\r\n"));
  EXPECT_EQ(monitor.ask("15\n"), Ok());
  EXPECT_EQ(monitor.ask("13\n"), Ok("P Pool1 0 2 0 0 0 0 0 0 0 0 0 0 0 2 0 0 0 0 0 0\r\n"
                                    "P Pool2 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\n"));
}

TEST_F(MonitorTest, DebugLinesCarryTheCacheDataWaitingForEachServer) {
  PinnedClock clock;
  auto a = Register("2 0 10.0.0.1:1 Pool1\n");
  auto b = Register("2 0 10.0.0.2:2 Pool1\n");
  EXPECT_EQ(b->ask(WithData(4, "10.0.0.2:2", Items({"u", "v"}))), Ok());
  Client monitor(router_.monitorPort());
  EXPECT_EQ(monitor.ask("11\n"),
            Ok("S Pool1 10.0.0.1:1 0 idle 0 0 0 0 0 0 2 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 " +
               Items({"u", "v"}) +
               "\r\n"
               "S Pool1 10.0.0.2:2 0 working 0 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 "
               "\r\n"));
  EXPECT_EQ(monitor.ask("13\n"), Ok("P Pool1 1 2 0 2 0 0 0 0 0 0 0 0 0 0 1 0 0 0 0 0\r\n"));
}

// The text of a get-server datagram after its code, with every limit given.
std::string Description(const std::string& pool, const std::string& client,
                        const std::string& site, const std::string& extension = "html",
                        int siteMax = -1, int poolSiteMax = -1, int poolClientMax = -1,
                        int extMax = -1) {
  return client + " 0 3 shop1 /shop/index. " + extension + " " + pool + " Store1 " + site + " " +
         std::to_string(siteMax) + " " + std::to_string(poolSiteMax) + " " +
         std::to_string(poolClientMax) + " " + std::to_string(extMax) + " /shop/index." +
         extension;
}

TEST_F(MonitorTest, ExplainGivesEveryOutcomeAndChangesNothing) {
  PinnedClock clock;
  auto s1 = Register("2 0 10.0.0.1:801 Pool1 11 2\n");
  auto s2 = Register("2 0 10.0.0.2:802 Pool1 12 2\n");
  auto s3 = Register("2 0 10.0.0.3:803 Pool1\n");  // lower priority: never a candidate
  auto s4 = Register("2 0 10.0.0.4:804 Pool2\n");
  auto s5 = Register("2 0 10.0.0.5:805 Pool1 13 2\n");
  clock.advance(5000);
  // s1 serves client .7 of site S1 and is idle again (later use than s2);
  // s5 stays assigned to client .8 of site S2; Pool2's only server is in use.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.7", "S1")), "0 10.0.0.1 801");
  EXPECT_EQ(s1->ask("4 0 10.0.0.1:801\n"), Ok());
  EXPECT_EQ(s1->ask("3 0 10.0.0.1:801\n"), Ok());
  clock.advance(2000);
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.8", "S2")), "0 10.0.0.2 802");
  EXPECT_EQ(s2->ask("4 0 10.0.0.2:802\n"), Ok());
  EXPECT_EQ(s2->ask("3 0 10.0.0.2:802\n"), Ok());
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.8", "S2")), "0 10.0.0.2 802");
  EXPECT_EQ(Ask(GetServerRequest("Pool2", 0, 3, "10.0.0.9", "S3")), "0 10.0.0.4 804");
  clock.advance(1000);

  Client monitor(router_.monitorPort());
  const std::string servers = monitor.ask("10\n");
  const std::string pools = monitor.ask("13\n");
  const std::string candidates =
      "candidates 2\ncandidate 10.0.0.1 801 2\ncandidate 10.0.0.5 805 2\n";
  struct Case {
    std::string description;
    std::string body;
  } cases[] = {
      {Description("Pool1", "10.0.0.7", "S9"),
       "pool Pool1\n" + candidates + "outcome chosen 10.0.0.1 801 rule client\n"},
      {Description("Pool1", "10.0.0.66", "S1"),
       "pool Pool1\n" + candidates + "outcome chosen 10.0.0.1 801 rule site\n"},
      // REST calls skip client affinity.
      {Description("Pool1", "10.0.0.7", "S9", "rest"),
       "pool Pool1\n" + candidates + "outcome chosen 10.0.0.5 805 rule lru\n"},
      {Description("Pool1", "10.0.0.66", "S9", "html", -1, 5, 5, 5),
       "pool Pool1\n" + candidates +
           "limit extension max 5 count 1\nlimit client max 5 count 0\n"
           "limit site max 5 count 0\noutcome chosen 10.0.0.5 805 rule lru\n"},
      {Description("Pool1", "10.0.0.66", "S9", "html", -1, -1, -1, 1),
       "pool Pool1\n" + candidates + "limit extension max 1 count 1 refuses\n"
                                      "outcome refused extension\n"},
      {Description("Pool1", "10.0.0.8", "S9", "html", -1, -1, 1, 2),
       "pool Pool1\n" + candidates + "limit extension max 2 count 1\n"
                                      "limit client max 1 count 1 refuses\n"
                                      "outcome refused client\n"},
      {Description("Pool1", "10.0.0.66", "S2", "html", -1, 1),
       "pool Pool1\n" + candidates + "limit site max 1 count 1 refuses\noutcome refused site\n"},
      {Description("Pool1", "10.0.0.66", "S2", "html", 1, 9),
       "pool Pool1\n" + candidates +
           "limit special-site max 1 count 1 refuses\noutcome refused special-site\n"},
      {Description("Pool2", "10.0.0.9", "S3"), "pool Pool2\ncandidates 0\noutcome no-idle\n"},
      {Description("Nope", "10.0.0.9", "S3"), "pool Nope\noutcome no-pool\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(monitor.ask("17 " + c.description + "\n"), Ok(c.body)) << c.description;
  }
  // Nothing assigned, counted or touched (last use included): the same lines.
  EXPECT_EQ(monitor.ask("13\n"), pools);
  EXPECT_EQ(monitor.ask("10\n"), servers);
  // And a real request still takes the server the explanation named.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.7", "S9")), "0 10.0.0.1 801");
  EXPECT_FALSE(router_.listenersFailed());
}

TEST_F(MonitorTest, RefusedRequestsCloseTheConnectionWithoutReply) {
  const std::string pool99(99, 'P');
  auto server = Register("2 0 10.0.0.1:1 " + pool99 + "\n");
  ASSERT_EQ(Ask(GetServerRequest(pool99, 0, 3)), "0 10.0.0.1 1");
  struct Case {
    std::string request;
    std::string logged;
  } cases[] = {
      {"14 0 Nope\n", "MonitorHandleResetPoolRequest(): pool 'Nope' doesn't exist."},
      {"14\n", "MonitorHandleResetPoolRequest(): failed to read pool name from request (14)"},
      {"14 Pool1\n", "failed to read pool name from request (14 Pool1)"},
      {"14 0 " + pool99 + "X\n", "failed to read pool name from request (14 0 " + pool99 + "X)"},
      {"16\n", "MonitorRequestHandler(): obsolete request MONITOR_GET_TRANSACTIONID"},
      {"17\n", "MonitorHandleExplainRequest(): failed to read request description (17)"},
      {"17 10.0.0.7 0 3 shop1 /shop/index. html\n",
       "failed to read request description (17 10.0.0.7 0 3 shop1 /shop/index. html)"},
      {"18\n", "MonitorRequestHandler(): unknown request 18"},
      {"status\n", "MonitorRequestHandler(): failed to read request code (status)"},
      {std::string(8192, '1'), "sent a line longer than 8191 bytes"},
  };
  for (const Case& c : cases) {
    Client monitor(router_.monitorPort());
    EXPECT_EQ(monitor.ask("13\n").substr(0, 2), "0 ");  // a good request first
    ASSERT_TRUE(monitor.send(c.request));
    EXPECT_EQ(monitor.reply(), "") << c.request;
    EXPECT_TRUE(monitor.closedByRouter()) << c.request;
    EXPECT_TRUE(log_.waitFor(c.logged)) << c.logged;
  }
  // The pool named by the first 99 characters of the refused name kept its hit.
  Client monitor(router_.monitorPort());
  EXPECT_EQ(monitor.ask("13\n"),
            Ok("P " + pool99 + " 0 1 0 0 0 1 0 0 0 1 0 0 0 1 0 0 0 0 0 0\r\n"));
  // A name of exactly 99 characters, followed by a blank, is read whole.
  EXPECT_EQ(monitor.ask("14 0 " + pool99 + " \n"), Ok());
  EXPECT_EQ(monitor.ask("13\n"),
            Ok("P " + pool99 + " 0 1 0 0 0 0 0 0 0 0 0 0 0 1 0 0 0 0 0 0\r\n"));
  EXPECT_FALSE(router_.listenersFailed());
}

}  // namespace
