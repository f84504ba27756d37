// Tests of the get-server protocol over the real UDP listener: servers
// registered over the message center are handed out, and the answers
// try-later, abort, time-out and error follow the attempt counts, limits and
// request codes of the datagrams.
#include "RRRequestHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "ProtocolTestSupport.h"
#include "WIException.h"

using namespace prototest;

namespace {

class GetServerTest : public ::testing::Test {
 protected:
  TestRouter router_;
  LogSince log_;

  std::unique_ptr<Client> Register(const std::string& address, const std::string& pool) {
    auto client = std::make_unique<Client>(router_.mcPort());
    EXPECT_EQ(client->ask("2 0 " + address + " " + pool + "\n"), Ok());
    return client;
  }
  std::string Ask(const std::string& datagram) {
    return AskGetServer(router_.getServerPort(), datagram);
  }
  // The pool's line of the monitor (request 13), without its line end.
  std::string PoolLine(const std::string& pool) {
    Client monitor(router_.monitorPort());
    std::string reply = monitor.ask("13\n");
    size_t at = reply.find("P " + pool + " ");
    if (at == std::string::npos) return "";
    return reply.substr(at, reply.find("\r\n", at) - at);
  }
  // Column `index` (1-based) of the pool's line.
  std::string PoolColumn(const std::string& pool, int index) {
    std::istringstream in(PoolLine(pool));
    std::string word;
    for (int i = 0; i < index && (in >> word); ++i) {
    }
    return word;
  }
};

TEST_F(GetServerTest, ExampleDatagramIsAnsweredWithTheRegisteredServer) {
  auto server = Register("10.0.0.21:801", "Pool1");
  EXPECT_EQ(Ask("1 10.0.0.7 0 3 shop1 /shop/index. html Pool1 Store1 S1 -1 -1 -1 -1 "
                "/shop/index.html"),
            "0 10.0.0.21 801");
  EXPECT_EQ(ServerState(router_.pools(), "10.0.0.21", 801), KTASSTATUS_ASSIGNED);
  EXPECT_EQ(server->ask("3 0 10.0.0.21:801\n"), Ok());  // stays assigned (within 10 s)
  auto second = Register("10.0.0.22:802", "Pool1");
  // Blanks, tabs and line ends all separate the fields.
  EXPECT_EQ(Ask("1\t10.0.0.8 0 3\nshop1 /shop/index. html  Pool1 Store1 S1 -1 -1 -1 -1 /x.html"),
            "0 10.0.0.22 802");
}

TEST_F(GetServerTest, NoIdleServerMeansTryLaterUntilTheLastAttemptTimesOut) {
  auto server = Register("10.0.0.1:1", "Pool1");
  ASSERT_EQ(Ask(GetServerRequest("Pool1", 0, 3)), "0 10.0.0.1 1");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3)), "1");
  EXPECT_EQ(PoolColumn("Pool1", 21), "0");  // timeouts
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 1, 3)), "1");
  EXPECT_EQ(PoolColumn("Pool1", 21), "0");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 2, 3)), "4");
  EXPECT_EQ(PoolColumn("Pool1", 21), "1");
  // Without attempts to spare, the first request already times out.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 1)), "4");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 0)), "4");
  EXPECT_EQ(PoolColumn("Pool1", 21), "3");
  // One hit; five misses, three of them on a first try.
  EXPECT_EQ(PoolColumn("Pool1", 8), "1");
  EXPECT_EQ(PoolColumn("Pool1", 9), "5");
  EXPECT_EQ(PoolColumn("Pool1", 22), "3");
  EXPECT_FALSE(log_.contains("no application servers"));
}

TEST_F(GetServerTest, ExhaustedLimitAbortsWhateverTheAttempt) {
  auto busy = Register("10.0.0.1:1", "Pool1");
  auto idle = Register("10.0.0.2:2", "Pool1");
  ASSERT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.7", "S1", "html", 1)), "0 10.0.0.1 1");
  // One html request is running and html may occupy one server.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.8", "S1", "html", 1)), "2");
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 2, 3, "10.0.0.8", "S1", "html", 1)), "2");
  EXPECT_EQ(PoolColumn("Pool1", 13), "2");  // limitByExtension
  EXPECT_EQ(PoolColumn("Pool1", 21), "0");  // an abort is no time-out
  // Another extension is not limited.
  EXPECT_EQ(Ask(GetServerRequest("Pool1", 0, 3, "10.0.0.8", "S1", "jpg", 1)), "0 10.0.0.2 2");
}

TEST_F(GetServerTest, WrongRequestCodesAreAnsweredWithErrorOne) {
  auto server = Register("10.0.0.1:1", "Pool1");
  std::string request = GetServerRequest("Pool1", 0, 3);
  EXPECT_EQ(Ask("2" + request.substr(1)), "3 1");
  EXPECT_TRUE(log_.waitFor("Invalid request code: 2 (status=1)"));
  EXPECT_EQ(Ask("x" + request.substr(1)), "3 1");
  EXPECT_TRUE(log_.waitFor("Invalid request code: 0 (status=1)"));
  EXPECT_EQ(Ask(" "), "3 1");
  // Nothing was assigned by the refused datagrams.
  EXPECT_EQ(ServerState(router_.pools(), "10.0.0.1", 1), KTASSTATUS_IDLE);
}

TEST_F(GetServerTest, DatagramIsReadInPlaceAndRepliesAreExact) {
  auto first = Register("10.0.0.21:65535", "Pool1");
  auto second = Register("10.0.0.22:2", "Pool1");
  // A code too large for an int is no code 1, whatever its low bits.
  EXPECT_EQ(Ask("4294967297 " + GetServerRequest("Pool1", 0, 3).substr(2)), "3 1");
  EXPECT_TRUE(log_.waitFor("Invalid request code: 0 (status=1)"));

  // Only `size` characters are read; the reply replaces what the string held.
  const std::string body = GetServerRequest("Pool1", 0, 3).substr(2);
  const std::string text = body + "9 trailing";
  std::string reply = "stale reply text";
  RRHandleGetServerText(text.data(), body.size(), reply, router_.pools());
  EXPECT_EQ(reply, "0 10.0.0.21 65535");

  // Sign, leading zeros and any white space after the code are a valid 1.
  EXPECT_EQ(Ask("+001\v" + body), "0 10.0.0.22 2");
  std::istringstream in(body);
  std::ostringstream out;
  RRHandleGetServerRequest(in, out, router_.pools());
  EXPECT_EQ(out.str(), "1");
  RRHandleGetServerText(body.data(), body.size(), reply, router_.pools());
  EXPECT_EQ(reply, "1");
  reply = "kept";
  EXPECT_THROW(RRHandleGetServerText(body.data(), body.size(), reply, nullptr), CWIException);
  EXPECT_EQ(reply, "kept");
}

TEST_F(GetServerTest, PoolNeverAnnouncedIsTryLaterOrTimeOutLoggedOncePerRun) {
  EXPECT_EQ(Ask(GetServerRequest("Ghost", 0, 3)), "1");
  EXPECT_EQ(Ask(GetServerRequest("Ghost", 1, 3)), "1");
  EXPECT_EQ(Ask(GetServerRequest("Ghost", 2, 3)), "4");
  EXPECT_EQ(log_.count("RRHandleGetServerRequest(): no application servers for pool 'Ghost'"), 1);
  EXPECT_EQ(Ask(GetServerRequest("Phantom", 0, 3)), "1");
  EXPECT_TRUE(log_.contains("RRHandleGetServerRequest(): no application servers for pool - "
                            "repeated "));
  EXPECT_TRUE(log_.contains("no application servers for pool 'Phantom'"));
  // A datagram holding only the code asks for the unnamed pool on its last attempt.
  EXPECT_EQ(Ask("1"), "4");
  EXPECT_FALSE(HasPool(router_.pools(), "Ghost"));  // asking creates no pool
}

// The message-center thread creates and frees the pool again and again while
// the get-server and monitor threads use it: every answer is a valid one and
// nothing is used after it was freed.
TEST_F(GetServerTest, PoolsComingAndGoingWhileRequestsArrive) {
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::thread asker([&] {
    while (!done) {
      std::string reply = Ask(GetServerRequest("Busy", 0, 2));
      if (reply != "0 10.0.0.1 1" && reply != "1") ++bad;
    }
  });
  std::thread watcher([&] {
    Client monitor(router_.monitorPort());
    while (!done) {
      if (monitor.ask("13\n").compare(0, 2, "0 ") != 0) ++bad;
      if (monitor.ask("10\n").compare(0, 2, "0 ") != 0) ++bad;
    }
  });
  for (int round = 0; round < 40; ++round) {
    auto server = Register("10.0.0.1:1", "Busy");
    server->shut();
    ASSERT_TRUE(WaitFor([&] { return !HasPool(router_.pools(), "Busy"); }, 3000)) << round;
  }
  done = true;
  asker.join();
  watcher.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_FALSE(router_.listenersFailed());
}

TEST(GetServerHandlerTest, MissingPoolListIsAnErrorAnswer) {
  ProcessLogFile();
  LogSince log;
  CRequestRouterServer server(IPEndpoint("127.0.0.1", 0, true), 100);
  bool abort = false;
  EXPECT_EQ(server.processRequest(GetServerRequest("Pool1", 0, 3), abort), "3 5");
  EXPECT_FALSE(abort);
  EXPECT_TRUE(log.contains(
      "RRHandleGetServerRequest(): wrong arguments passed to the procedure (status=5)"));

  std::istringstream in("10.0.0.7 0 3");
  std::ostringstream out;
  EXPECT_THROW(RRHandleGetServerRequest(in, out, nullptr), CWIException);
  EXPECT_EQ(out.str(), "");
}

}  // namespace
