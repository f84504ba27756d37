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
      {"17\n", "MonitorRequestHandler(): unknown request 17"},
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
