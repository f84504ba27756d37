// Tests of the message-center protocol over a real listener on a loopback
// port: application servers' lives, closed connections, refused and
// malformed requests, field and length bounds, cache distribution, the
// shutdown request, and two routers talking to each other as peers.
#include "KTMCRequestHandler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <string.h>

#include <string>
#include <vector>

#include "KTBuffer.h"
#include "KTMCRegistry.h"
#include "KTMCRequestHeader.h"
#include "KTMCServer.h"
#include "KTSocket.h"
#include "KTUtils.h"
#include "ProtocolTestSupport.h"

using namespace prototest;

namespace {

class MCRequestTest : public ::testing::Test {
 protected:
  TestRouter router_;
  LogSince log_;

  // Registers host:port in the pool over a new connection, which stays the server's.
  std::unique_ptr<Client> Register(const std::string& address, const std::string& pool,
                                   const std::string& extra = "") {
    auto client = std::make_unique<Client>(router_.mcPort());
    std::string header = "2 0 " + address + " " + pool + (extra.empty() ? "" : " " + extra) + "\n";
    EXPECT_EQ(client->ask(header), Ok()) << header;
    return client;
  }
  int State(const std::string& host, unsigned short port) {
    return ServerState(router_.pools(), host, port);
  }
  // The monitor line of every server (request 10).
  std::string ServerLines() {
    Client monitor(router_.monitorPort());
    std::string reply = monitor.ask("10\n");
    return reply.substr(reply.find('\n') + 1);
  }
};

TEST_F(MCRequestTest, ApplicationServerLifeFromAnnouncementToFinish) {
  PinnedClock clock;
  auto a = Register("10.0.0.21:801", "Pool1");
  auto b = Register("10.0.0.22:802", "Pool1", "4711 7");
  // pid and priority default to 0 when the announcement leaves them out.
  EXPECT_EQ(ServerLines(),
            "S Pool1 10.0.0.21:801 0 idle 0 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 \r\n"
            "S Pool1 10.0.0.22:802 4711 idle 0 0 0 0 0 0 0 (NULL) (NULL) (NULL) (NULL) 7 (NULL) 0 \r\n");

  EXPECT_EQ(a->ask("4 0 10.0.0.21:801\n"), Ok());
  EXPECT_EQ(State("10.0.0.21", 801), KTASSTATUS_WORKING);
  // b works and hands in cache data: nothing waits for b, a gets it when idle.
  EXPECT_EQ(b->ask(WithData(4, "10.0.0.22:802", Items({"x", "y"}))), Ok());
  EXPECT_EQ(a->ask("3 0 10.0.0.21:801 0\n"), Ok(Items({"x", "y"})));
  EXPECT_EQ(State("10.0.0.21", 801), KTASSTATUS_IDLE);
  EXPECT_EQ(a->ask("3 0 10.0.0.21:801\n"), Ok());  // delivered once only

  EXPECT_EQ(a->ask("4 0 10.0.0.21:801\n"), Ok());
  EXPECT_EQ(a->ask("6 0 10.0.0.21:801\n"), Ok());
  EXPECT_EQ(State("10.0.0.21", 801), KTASSTATUS_MONITOR);

  // Finishing hands in the last data for the others and removes the server;
  // the connection stays open but no longer belongs to a server.
  EXPECT_EQ(a->ask(WithData(7, "10.0.0.21:801", Items({"z"}))), Ok());
  EXPECT_EQ(State("10.0.0.21", 801), -1);
  EXPECT_EQ(b->ask("3 0 10.0.0.22:802\n"), Ok(Items({"z"})));
  a->shut();
  EXPECT_EQ(b->ask("4 0 10.0.0.22:802\n"), Ok());  // a's end did not touch b

  EXPECT_EQ(b->ask("7 0 10.0.0.22:802\n"), Ok());
  EXPECT_FALSE(HasPool(router_.pools(), "Pool1"));  // the last server took its pool along
  EXPECT_FALSE(router_.listenersFailed());
}

TEST_F(MCRequestTest, ClosedConnectionRemovesItsServerAndResetsTheCacheOnlyWhenBusy) {
  auto stayer = Register("10.0.0.2:2", "Pool1");
  auto idle = Register("10.0.0.3:3", "Pool1");
  idle->shut();
  ASSERT_TRUE(WaitFor([&] { return State("10.0.0.3", 3) == -1; }, 3000));
  EXPECT_EQ(stayer->ask("3 0 10.0.0.2:2\n"), Ok());  // idle server left: nothing to drop

  for (int busyState : {KTASSTATUS_WORKING, KTASSTATUS_MONITOR, KTASSTATUS_ASSIGNED}) {
    std::unique_ptr<Client> leaver;
    if (busyState == KTASSTATUS_ASSIGNED) {
      // The stayer works meanwhile, so the leaver is the one handed out.
      EXPECT_EQ(stayer->ask("4 0 10.0.0.2:2\n"), Ok());
      leaver = Register("10.0.0.1:1", "Pool1");
      EXPECT_EQ(AskGetServer(router_.getServerPort(), GetServerRequest("Pool1", 0, 3)),
                "0 10.0.0.1 1");
      EXPECT_EQ(stayer->ask("3 0 10.0.0.2:2\n"), Ok());
    } else {
      leaver = Register("10.0.0.1:1", "Pool1");
      EXPECT_EQ(leaver->ask("4 0 10.0.0.1:1\n"), Ok());
      if (busyState == KTASSTATUS_MONITOR) {
        EXPECT_EQ(leaver->ask("6 0 10.0.0.1:1\n"), Ok());
      }
    }
    ASSERT_EQ(State("10.0.0.1", 1), busyState);
    leaver->shut();
    ASSERT_TRUE(WaitFor([&] { return State("10.0.0.1", 1) == -1; }, 3000)) << busyState;
    // The pool's other servers must drop their whole cache.
    EXPECT_EQ(stayer->ask("3 0 10.0.0.2:2\n"), Ok(Items({"All"}))) << busyState;
  }

  stayer->shut();
  EXPECT_TRUE(WaitFor([&] { return !HasPool(router_.pools(), "Pool1"); }, 3000));
}

TEST_F(MCRequestTest, BusyServerAnnouncingAnotherPoolIsToldToWaitAndIdleOneMoves) {
  auto a = Register("10.0.0.1:1", "PoolA");
  EXPECT_EQ(a->ask("4 0 10.0.0.1:1\n"), Ok());
  EXPECT_EQ(a->ask("2 0 10.0.0.1:1 PoolB\n"), "2 0\n");
  EXPECT_EQ(PoolOfServer(router_.pools(), "10.0.0.1", 1), "PoolA");
  EXPECT_EQ(State("10.0.0.1", 1), KTASSTATUS_WORKING);
  // The pool the announcement created stays listed for the next one.
  EXPECT_TRUE(HasPool(router_.pools(), "PoolB"));

  // The connection stayed open; once idle the server moves and PoolA goes.
  EXPECT_EQ(a->ask("3 0 10.0.0.1:1\n"), Ok());
  EXPECT_EQ(a->ask("2 0 10.0.0.1:1 PoolB 9 3\n"), Ok());
  EXPECT_EQ(PoolOfServer(router_.pools(), "10.0.0.1", 1), "PoolB");
  EXPECT_FALSE(HasPool(router_.pools(), "PoolA"));
  // Announcing the same pool again is just another idle report.
  EXPECT_EQ(a->ask("2 0 10.0.0.1:1 PoolB\n"), Ok());
  EXPECT_EQ(State("10.0.0.1", 1), KTASSTATUS_IDLE);
}

// When the old pool cannot be dropped while an idle server moves (here: the
// pool list's write lock is already held by this thread, so taking it
// fails), the server still arrives in the new pool and the request fails
// with that status; closing its connection then takes the server along.
TEST(MCMoveTest, FailingDropOfTheOldPoolStillMovesTheServerAndFailsTheRequest) {
  ProcessLogFile();
  LogSince log;
  ASPoolList* pools = nullptr;
  KTMCServerList* mcs = nullptr;
  KTSocket* connection = nullptr;
  ASSERT_EQ(0, ASPoolListNew(&pools, CLog::log));
  ASSERT_EQ(0, KTMCServerListNew(&mcs, CLog::log));
  ASSERT_EQ(0, KTSocketNew(&connection, AF_INET, CLog::log));
  EXPECT_EQ(0, MCHandleASInitialFreeRequest("2 0 10.0.0.1:1 PoolA", pools, mcs, connection, 16,
                                            CLog::log));
  ASPool* pPoolB = nullptr;
  bool created = false;
  MCRegistryStep failed = MC_REGISTRY_OK;
  ASSERT_EQ(0, MCRegistryFindOrCreatePool(pools, "PoolB", 16, nullptr, &pPoolB, &created, &failed,
                                          CLog::log));

  ASSERT_EQ(0, ASPoolListLockWrite(pools, CLog::log));
  const KTStatus status = MCHandleASInitialFreeRequest("2 0 10.0.0.1:1 PoolB", pools, mcs,
                                                       connection, 16, CLog::log);
  ASSERT_EQ(0, ASPoolListUnlock(pools, CLog::log));
  EXPECT_EQ(status, ERROR_UNKNOWN);
  EXPECT_TRUE(log.contains("MCHandleASInitialFreeRequest(): error ask if pool empty (1)."));
  EXPECT_EQ(PoolOfServer(pools, "10.0.0.1", 1), "PoolB");
  EXPECT_TRUE(HasPool(pools, "PoolA"));  // could not be dropped: listed, empty

  // The listener closes a connection whose request failed.
  EXPECT_EQ(0, MCClientCloseHandler(connection, pools, mcs, CLog::log));
  EXPECT_EQ(ServerState(pools, "10.0.0.1", 1), -1);
  EXPECT_FALSE(HasPool(pools, "PoolB"));
  KTSocketFree(&connection, CLog::log);
  KTMCServerListFree(&mcs, CLog::log);
  ASPoolListFree(&pools, CLog::log);
}

TEST_F(MCRequestTest, RefusedAndUnreadableRequestsCloseWithoutReply) {
  struct Case {
    std::string request;
    std::string logged;
  } cases[] = {
      {"30 3\nabc", "MCRequestHandler(): obsolete request MC_REQUEST_POOLCHANGES"},
      {"31 0\n", "MCRequestHandler(): obsolete request MC_REQUEST_POOLRESET"},
      {"17 0\n", "MCRequestHandler(): unknown request 17"},
      {"-2 0\n", "MCRequestHandler(): unknown request -2"},
      {"hello\n",
       "MCRequestHandler(): failed to read request code and data size from the following request "
       "\"hello\""},
      {"3\n", "following request \"3\""},
      // Numbers beyond an int do not read: wrapped, they would be a
      // length of 1 byte and code 2.
      {"3 4294967297 10.0.0.9:9\n", "following request \"3 4294967297 10.0.0.9:9\""},
      {"4294967298 0 10.0.0.1:1 Pool1\n", "following request \"4294967298 0 10.0.0.1:1 Pool1\""},
      {"3 0 10.0.0.9:9\n",
       "MCHandleASIdleRequest(): there exists no host [10.0.0.9]:9 in our server lists"},
      {"4 0 10.0.0.9:9\n",
       "MCHandleASWorkingRequest(): there exists no host [10.0.0.9]:9 in our server lists"},
      {"7 0 10.0.0.9:9\n",
       "MCHandleASFinishRequest(): there exists no host [10.0.0.9]:9 in our server lists"},
      {"2 0 10.0.0.1:1\n", "MCHandleASInitialFreeRequest(): error parsing request '2 0 10.0.0.1:1'"},
      {"2 0 nocolon Pool1\n", "MCHandleASInitialFreeRequest(): error parsing request"},
      {"2 0 10.0.0.1:http Pool1\n", "MCHandleASInitialFreeRequest(): error parsing request"},
      {"2 0 10.0.0.1:70000 Pool1\n", "MCHandleASInitialFreeRequest(): error parsing request"},
      {"5 3 10.0.0.1:1 Pool1\nx\x01\x01", "MCHandleASUpdateCacheRequest(): error parsing request"},
      {"6 0\n", "MCHandleASSetMonFlagRequest(): error parsing request '6 0'"},
      {"20 0\n", "MCHandleMCInitialPoolRequest(): error parsing request '20 0'"},
      {"21 0 127.0.0.1:5\n", "MCHandleMCNewPoolRequest(): error parsing request"},
      {"22 0 127.0.0.1:5\n", "MCHandleMCReleasePoolRequest(): error parsing request"},
  };
  for (const Case& c : cases) {
    Client client(router_.mcPort());
    ASSERT_TRUE(client.send(c.request));
    EXPECT_EQ(client.reply(), "") << c.request;
    EXPECT_TRUE(client.closedByRouter()) << c.request;
    EXPECT_TRUE(log_.waitFor(c.logged)) << c.logged;
  }
  EXPECT_FALSE(HasPool(router_.pools(), "Pool1"));
  EXPECT_FALSE(router_.listenersFailed());
}

TEST_F(MCRequestTest, FailedRequestRemovesTheServerBoundToItsConnection) {
  auto a = Register("10.0.0.1:1", "Pool1");
  // Start-monitor is refused for an idle server: the connection ends, and
  // with it the server it carried.
  ASSERT_TRUE(a->send("6 0 10.0.0.1:1\n"));
  EXPECT_TRUE(a->closedByRouter());
  EXPECT_TRUE(WaitFor([&] { return State("10.0.0.1", 1) == -1; }, 3000));
}

TEST_F(MCRequestTest, AddressIsSplitAtItsLastColon) {
  char ipv6[] = "fe80::1:2:8080";
  unsigned short port = 0;
  EXPECT_EQ(ParseSocket(ipv6, &port, 1), 0);
  EXPECT_STREQ(ipv6, "fe80::1:2");
  EXPECT_EQ(port, 8080);

  char highest[] = "h:65535";
  EXPECT_EQ(ParseSocket(highest, &port, 1), 0);
  EXPECT_EQ(port, 65535);

  for (const char* bad : {"host", "host:", "host:x1", "host:-1", "host:+1", "host:65536", ":"}) {
    std::string text = bad;
    port = 7;
    EXPECT_EQ(ParseSocket(text.data(), &port, 1), 1) << bad;
    EXPECT_EQ(text, bad);
    EXPECT_EQ(port, 7);
  }
  char good[] = "10.0.0.1:80";
  EXPECT_EQ(ParseSocket(good, &port, 0), 1);  // the caller's scan missed a field
  EXPECT_STREQ(good, "10.0.0.1:80");

  // An IPv6 literal registers with its colons and is handed out as announced.
  auto server = Register("::1:801", "Pool6");
  EXPECT_EQ(AskGetServer(router_.getServerPort(), GetServerRequest("Pool6", 0, 3)), "0 ::1 801");
}

// The one table-driven scanner reads every header as one whole scan with
// the code's format would, including where that scan stops early.
TEST(MCRequestHeaderTest, ScannerReadsEachShapeAsOneScanWould) {
  struct Reference {
    int code;
    int needed;  // fields the whole scan below must assign
  };
  const Reference shapes[] = {{2, 2}, {3, 1}, {5, 4}, {7, 1}, {20, 1}, {22, 2}};
  const std::string host250(250, 'h');
  const std::vector<std::string> headers = {
      "9 0 10.0.0.1:1 Pool1 4711 7", "9 0 10.0.0.1:1 Pool1 12x 5", "9 0 10.0.0.1:1 Pool1 x 5",
      "9 0 10.0.0.1:1 Pool1 -3 +4", "9 7\t10.0.0.1:1\tP\t1", "9 0 10.0.0.1:1", "9 0",
      "9 x 10.0.0.1:1 P 1", "9 3 10.0.0.1:1 P", "9 3 10.0.0.1:1 P 1 junk", "9 0 10.0.0.1:1 P1",
      "9 0 " + host250 + ":80" + std::string(60, 'z') + " P 1", "9 0 fe80::1:8080 Pool6",
      "9 0 10.0.0.1:1 " + std::string(100, 'p') + " 1", "9 0 10.0.0.1:1 " + std::string(99, 'p'),
      "9 99999999999 10.0.0.1:1 P 1",
  };
  for (const Reference& shape : shapes) {
    for (const std::string& header : headers) {
      char address[302] = "";
      char pool[102] = "";
      int a = 0;
      int b = 0;
      int fields = 0;
      if (shape.code == 2) {
        fields = sscanf(header.c_str(), "%*d %*d %300s %100s %d %d\n", address, pool, &a, &b);
      } else if (shape.code == 5) {
        fields = sscanf(header.c_str(), "%*d %d %300s %100s %d\n", &a, address, pool, &b);
      } else if (shape.code == 20) {
        fields = sscanf(header.c_str(), "%*d %*d %300s\n", address);
      } else if (shape.code == 22) {
        fields = sscanf(header.c_str(), "%*d %*d %300s %100s\n", address, pool);
      } else {
        fields = sscanf(header.c_str(), "%*d %*d %300s %*d\n", address);
      }
      const bool withPool = shape.code == 2 || shape.code == 5 || shape.code == 22;
      const bool fit = strlen(address) <= 299 && (!withPool || strlen(pool) <= 99);
      unsigned short port = 0;
      const bool accepted = ParseSocket(address, &port, fields >= shape.needed && fit) == 0;

      MCRequestHeader scanned;
      const KTStatus status = MCScanRequestHeader(header.c_str(), shape.code, "Test", &scanned,
                                                  CLog::log);
      const std::string what =
          "code " + std::to_string(shape.code) + " on '" + header.substr(0, 40) + "'";
      ASSERT_EQ(status, accepted ? STATUS_OK : ERROR_UNKNOWN) << what;
      if (!accepted) continue;
      EXPECT_STREQ(scanned.address, address) << what;
      EXPECT_EQ(scanned.port, port) << what;
      if (withPool) {
        EXPECT_STREQ(scanned.pool, pool) << what;
      }
      if (shape.code == 2) {
        EXPECT_EQ(scanned.pid, a) << what;
        EXPECT_EQ(scanned.priority, b) << what;
      } else if (shape.code == 5) {
        EXPECT_EQ(scanned.dataSize, a) << what;
        EXPECT_EQ(scanned.broadcast, b) << what;
      }
    }
  }
  MCRequestHeader unused;
  EXPECT_EQ(MCScanRequestHeader("99 0", MC_REQUEST_SHUTDOWN, "Test", &unused, CLog::log),
            ERROR_INVALID_PARAMETER);  // no header shape for that code
}

TEST_F(MCRequestTest, OverlongHostsAndPoolNamesFailInsteadOfBeingCut) {
  const std::string host255(255, 'h');
  const std::string pool99(99, 'p');
  std::string longHost = host255 + "x";
  std::string longPool = pool99 + "q";

  auto longest = Register(host255 + ":80", pool99);  // the longest accepted fields
  EXPECT_EQ(State(host255, 80), KTASSTATUS_IDLE);

  // An address longer than 299 characters whose first 299 would still parse.
  const std::string host250(250, 'h');
  const std::string cutAddress = host250 + ":80" + std::string(60, 'z');
  struct Case {
    std::string request;
    std::string logged;
  } cases[] = {
      {"2 0 " + longHost + ":81 Pool1\n",
       "MCHandleASInitialFreeRequest(): error parsing request '2 0 " + longHost},
      {"2 0 " + cutAddress + " Pool1\n",
       "MCHandleASInitialFreeRequest(): error parsing request '2 0 " + cutAddress},
      {"2 0 10.0.0.1:1 " + longPool + "\n",
       "MCHandleASInitialFreeRequest(): error parsing request '2 0 10.0.0.1:1 " + longPool},
      {"3 0 " + longHost + ":80\n", "MCHandleASIdleRequest(): error parsing request '3 0 " + longHost},
      {"5 3 10.0.0.1:1 " + longPool + " 0\nx\x01\x01",
       "MCHandleASUpdateCacheRequest(): error parsing request '5 3 10.0.0.1:1 " + longPool},
      {"21 0 127.0.0.1:5 " + longPool + "\n",
       "MCHandleMCNewPoolRequest(): error parsing request '21 0 127.0.0.1:5 " + longPool},
      {"20 0 " + longHost + ":5\n",
       "MCHandleMCInitialPoolRequest(): error parsing request '20 0 " + longHost},
  };
  for (const Case& c : cases) {
    Client client(router_.mcPort());
    ASSERT_TRUE(client.send(c.request));
    EXPECT_EQ(client.reply(), "") << c.request.substr(0, 40);
    EXPECT_TRUE(client.closedByRouter()) << c.request.substr(0, 40);
    EXPECT_TRUE(log_.waitFor(c.logged)) << c.logged.substr(0, 60);
  }
  // Nothing was registered under a shortened host or pool name.
  EXPECT_EQ(State(host255, 81), -1);
  EXPECT_EQ(State(host250, 80), -1);
  EXPECT_EQ(State("10.0.0.1", 1), -1);
  EXPECT_FALSE(HasPool(router_.pools(), "Pool1"));
  EXPECT_EQ(PoolOfServer(router_.pools(), host255, 80), pool99);
  EXPECT_EQ(PeersOfPool(router_.pools(), pool99), 0);
  int peers = -1;
  KTMCServerListSize(router_.mcs(), &peers, CLog::log);
  EXPECT_EQ(peers, 0);
}

TEST_F(MCRequestTest, DataLengthsAreBoundedAndHeaderLinesLimited) {
  auto server = Register("10.0.0.1:1", "Pool1");
  Client script(router_.mcPort());
  // A negative length reads no data: the next request follows at once.
  EXPECT_EQ(script.ask("5 -3 10.0.0.9:9 Pool1 0\n"), Ok());
  EXPECT_EQ(script.ask("5 0 10.0.0.9:9 Pool1 0\n"), Ok());

  // More than 64 MiB is refused at once instead of waiting for the data.
  Client greedy(router_.mcPort());
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(greedy.send("5 " + std::to_string(MC_MAX_DATA_LENGTH + 1) + " 10.0.0.9:9 Pool1 0\n"));
  EXPECT_TRUE(greedy.closedByRouter());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(log_.waitFor("more than the limit of 67108864 bytes"));

  // A header of 8191 bytes with its line end is read; 8192 without one is not.
  std::string header = "5 0 10.0.0.9:9 Pool1 0";
  std::string longest = header + std::string(8190 - header.size(), ' ') + "\n";
  ASSERT_EQ(longest.size(), 8191u);
  EXPECT_EQ(script.ask(longest), Ok());
  ASSERT_TRUE(script.send(std::string(8192, '5')));
  EXPECT_TRUE(script.closedByRouter());
  EXPECT_EQ(State("10.0.0.1", 1), KTASSTATUS_IDLE);
}

TEST_F(MCRequestTest, CacheDataReachesThePoolsServersAndSpreadsFromDefaultPool) {
  auto a1 = Register("10.0.0.1:1", "PoolA");
  auto a2 = Register("10.0.0.2:2", "PoolA");
  auto b = Register("10.0.0.3:3", "PoolB");
  auto d = Register("10.0.0.4:4", "DefaultPool");
  Client script(router_.mcPort());

  EXPECT_EQ(script.ask(WithData(5, "10.0.0.9:9 PoolA 0", Items({"q"}))), Ok());
  EXPECT_EQ(a1->ask("3 0 10.0.0.1:1\n"), Ok(Items({"q"})));
  EXPECT_EQ(a2->ask("3 0 10.0.0.2:2\n"), Ok(Items({"q"})));
  EXPECT_EQ(b->ask("3 0 10.0.0.3:3\n"), Ok());

  // Unknown pools and empty data are accepted and change nothing.
  EXPECT_EQ(script.ask(WithData(5, "10.0.0.9:9 Nope 0", Items({"q"}))), Ok());
  EXPECT_TRUE(log_.contains("MCHandleASUpdateCacheRequest(): pool 'Nope' not found"));
  EXPECT_EQ(script.ask("5 0 10.0.0.9:9 Other 0\n"), Ok());
  EXPECT_FALSE(log_.contains("pool 'Other' not found"));

  // Data of DefaultPool reaches every pool's servers, from a script or a server.
  EXPECT_EQ(script.ask(WithData(5, "10.0.0.9:9 DefaultPool 1", Items({"d"}))), Ok());
  EXPECT_EQ(d->ask(WithData(4, "10.0.0.4:4", Items({"e"}))), Ok(Items({"d"})));
  EXPECT_EQ(a1->ask("3 0 10.0.0.1:1\n"), Ok(Items({"d", "e"})));
  EXPECT_EQ(b->ask("3 0 10.0.0.3:3\n"), Ok(Items({"d", "e"})));

  // "All" resets every pool: each server receives the reset item next.
  EXPECT_EQ(script.ask(WithData(5, "10.0.0.9:9 PoolB 0", Items({"All"}))), Ok());
  EXPECT_TRUE(log_.contains("_AddScriptData(): global cache reset."));
  EXPECT_EQ(a1->ask("3 0 10.0.0.1:1\n"), Ok(Items({"All"})));
  EXPECT_EQ(d->ask("3 0 10.0.0.4:4\n"), Ok(Items({"All"})));
  EXPECT_EQ(a1->ask("3 0 10.0.0.1:1\n"), Ok());

  // A server's own reset leaves its reply empty and resets the others.
  EXPECT_EQ(a1->ask(WithData(4, "10.0.0.1:1", Items({"All"}))), Ok());
  EXPECT_TRUE(log_.contains("_AddServerData(): global cache reset."));
  EXPECT_EQ(b->ask("3 0 10.0.0.3:3\n"), Ok(Items({"All"})));
}

TEST_F(MCRequestTest, InitialPoolRequestListsUsedPoolsAndBindsThePeer) {
  PinnedClock clock;
  const uint16_t peerPort = FreePort();
  const std::string peer = "127.0.0.1:" + std::to_string(peerPort);
  auto peerLink = std::make_unique<Client>(router_.mcPort());
  EXPECT_EQ(peerLink->ask("20 0 " + peer + "\n"), Ok());  // no servers yet
  Client monitor(router_.monitorPort());
  EXPECT_EQ(monitor.ask("12\n"), Ok("M " + peer + " new -1\r\n"));  // never contacted

  EXPECT_EQ(peerLink->ask("20 0 " + peer + "\n"), Ok());
  int peers = 0;
  KTMCServerListSize(router_.mcs(), &peers, CLog::log);
  EXPECT_EQ(peers, 1);  // a known peer is found, not added twice
  clock.advance(3000);
  EXPECT_EQ(monitor.ask("12\n"), Ok("M " + peer + " new 3\r\n"));

  // The end of the connection the peer last spoke on marks it down.
  peerLink.reset();
  EXPECT_TRUE(log_.waitFor("MC [127.0.0.1]:" + std::to_string(peerPort) + " shut down"));
  EXPECT_EQ(monitor.ask("12\n"), Ok("M " + peer + " down 3\r\n"));

  // Only pools with application servers are named, each ending in CR LF.
  auto s1 = Register("10.0.0.1:1", "P1");
  auto s2 = Register("10.0.0.2:2", "P2");
  Client script(router_.mcPort());
  EXPECT_EQ(script.ask("22 0 " + peer + " Empty 1\n"), Ok());  // unknown pool: accepted
  EXPECT_TRUE(log_.contains("MCHandleMCReleasePoolRequest(): pool not found 'Empty'."));
  Client again(router_.mcPort());
  EXPECT_EQ(again.ask("20 0 " + peer + "\n"), Ok("P1\r\nP2\r\n"));
}

// The get-server and monitor listeners and the process log work as usual in
// the child; request 99 on its message center ends it by SIGTERM.
TEST(MCShutdownTest, ShutdownRequestEndsTheProcessBySigterm) {
  ProcessLogFile();
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    {
      TestRouter router;
      uint16_t port = router.mcPort();
      if (write(fds[1], &port, sizeof port) != (ssize_t)sizeof port) _exit(4);
      for (int i = 0; i < 100; ++i) SleepMilliseconds(100);
    }
    _exit(3);  // not ended by the request
  }
  close(fds[1]);
  uint16_t port = 0;
  bool gotPort = read(fds[0], &port, sizeof port) == (ssize_t)sizeof port;
  close(fds[0]);
  int status = 0;
  bool ended = false;
  if (gotPort) {
    Client client(port);
    EXPECT_TRUE(client.send("99 0\n"));
    EXPECT_EQ(client.reply(), "");  // no reply: the process is gone
    ended = WaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 5000);
  }
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(gotPort && ended);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, SIGTERM);
  EXPECT_NE(ReadFile(ProcessLogFile()).find("MCHandleASShutdownRequest()"), std::string::npos);
}

// Two routers in one process as each other's peers: the start-up question
// (20), pool announcements (21, 22) and cache data forwarded with the
// broadcast flag, which is stored for the servers but never sent back.
TEST(MCPeerTest, TwoRoutersShareAPoolAndForwardCacheDataOneHop) {
  KTMCServerSetSendCycle(100);
  {
    TestRouter a;
    TestRouter b;
    LogSince log;
    // A introduces itself to B as a starting router does.
    KTMCServer* pB = nullptr;
    ASSERT_EQ(0, KTMCServerNew(&pB, "127.0.0.1", b.mcPort(), "127.0.0.1", a.mcPort(), CLog::log));
    CKTBuffer names("");
    ASSERT_EQ(0, KTMCServerSendInitial(pB, names, CLog::log));
    EXPECT_STREQ(static_cast<const char*>(names), "");
    ASSERT_EQ(0, KTMCServerListAdd(a.mcs(), pB, CLog::log));
    int known = 0;
    KTMCServerListSize(b.mcs(), &known, CLog::log);
    EXPECT_EQ(known, 1);  // B recorded A

    // The pool's first server at A announces the pool to B, and the other way round.
    Client atA(a.mcPort());
    // The announcements leave from the peers' send threads, shortly after the reply.
    EXPECT_EQ(atA.ask("2 0 10.0.0.1:1 Shared\n"), Ok());
    EXPECT_TRUE(WaitFor([&] { return PeersOfPool(b.pools(), "Shared") == 1; }, 3000));
    EXPECT_EQ(PeersOfPool(a.pools(), "Shared"), 0);
    Client atB(b.mcPort());
    EXPECT_EQ(atB.ask("2 0 10.0.0.2:2 Shared\n"), Ok());
    EXPECT_TRUE(WaitFor([&] { return PeersOfPool(a.pools(), "Shared") == 1; }, 3000));
    Client atB2(b.mcPort());
    EXPECT_EQ(atB2.ask("2 0 10.0.0.3:3 Shared\n"), Ok());  // not the first: no announcement

    // Data handed in at B reaches A's server once; B's other server gets it locally.
    EXPECT_EQ(atB.ask(WithData(4, "10.0.0.2:2", Items({"k"}))), Ok());
    std::string received;
    ASSERT_TRUE(WaitFor(
        [&] {
          received = atA.ask("3 0 10.0.0.1:1\n");
          return received != Ok();
        },
        3000));
    EXPECT_EQ(received, Ok(Items({"k"})));
    EXPECT_EQ(atB2.ask("3 0 10.0.0.3:3\n"), Ok(Items({"k"})));

    // Data that arrived from a peer is not forwarded again: after a few send
    // cycles B's servers have still seen nothing but their own exchange.
    EXPECT_EQ(atA.ask(WithData(4, "10.0.0.1:1", Items({"m"}))), Ok());
    ASSERT_TRUE(WaitFor(
        [&] {
          received = atB2.ask("3 0 10.0.0.3:3\n");
          return received != Ok();
        },
        3000));
    EXPECT_EQ(received, Ok(Items({"m"})));
    SleepMilliseconds(400);
    EXPECT_EQ(atA.ask("3 0 10.0.0.1:1\n"), Ok());
    EXPECT_EQ(atB.ask("3 0 10.0.0.2:2\n"), Ok(Items({"m"})));

    // B's last server leaving releases the pool at A; A keeps its own server.
    EXPECT_EQ(atB.ask("7 0 10.0.0.2:2\n"), Ok());
    EXPECT_EQ(PeersOfPool(a.pools(), "Shared"), 1);
    EXPECT_EQ(atB2.ask("7 0 10.0.0.3:3\n"), Ok());
    EXPECT_TRUE(WaitFor([&] { return PeersOfPool(a.pools(), "Shared") == 0; }, 3000));
    EXPECT_EQ(PeersOfPool(b.pools(), "Shared"), 1);  // B still forwards to A
    EXPECT_EQ(ServerState(a.pools(), "10.0.0.1", 1), KTASSTATUS_IDLE);
    Client monitor(a.monitorPort());
    std::string peerLines = monitor.ask("12\n");
    EXPECT_NE(peerLines.find("\nM 127.0.0.1:" + std::to_string(b.mcPort()) + " up "),
              std::string::npos)
        << peerLines;
    EXPECT_FALSE(log.contains("failed"));
    // Let the send threads finish their cycle and fall into a long wait, so
    // that freeing the peer records stops them instead of cancelling a send.
    KTMCServerSetSendCycle(600000);
    SleepMilliseconds(500);
  }
  KTMCServerSetSendCycle(0);
}

// Both routers get the pool's first server at the same moment, so each
// announces the pool to the other while the other announces it back. Neither
// message-center thread may wait on its peer: both announcements arrive, the
// links stay up, and the next pair (the last servers leaving) arrives too.
TEST(MCPeerTest, RoutersThatAnnounceToEachOtherAtOnceBothHearTheOther) {
  KTMCServerSetSendCycle(100);
  {
    TestRouter a;
    TestRouter b;
    LogSince log;
    KTMCServer* pB = nullptr;
    ASSERT_EQ(0, KTMCServerNew(&pB, "127.0.0.1", b.mcPort(), "127.0.0.1", a.mcPort(), CLog::log));
    CKTBuffer names("");
    ASSERT_EQ(0, KTMCServerSendInitial(pB, names, CLog::log));
    ASSERT_EQ(0, KTMCServerListAdd(a.mcs(), pB, CLog::log));

    Client atA(a.mcPort());
    Client atB(b.mcPort());
    for (int round = 0; round < 3; ++round) {
      ASSERT_TRUE(atA.send("2 0 10.0.0.1:1 Shared\n"));
      ASSERT_TRUE(atB.send("2 0 10.0.0.2:2 Shared\n"));
      EXPECT_EQ(atA.reply(), Ok());
      EXPECT_EQ(atB.reply(), Ok());
      EXPECT_TRUE(WaitFor([&] { return PeersOfPool(a.pools(), "Shared") == 1; }, 3000)) << "round " << round;
      EXPECT_TRUE(WaitFor([&] { return PeersOfPool(b.pools(), "Shared") == 1; }, 3000)) << "round " << round;

      ASSERT_TRUE(atA.send("7 0 10.0.0.1:1\n"));
      ASSERT_TRUE(atB.send("7 0 10.0.0.2:2\n"));
      EXPECT_EQ(atA.reply(), Ok());
      EXPECT_EQ(atB.reply(), Ok());
      EXPECT_TRUE(WaitFor([&] { return PeersOfPool(a.pools(), "Shared") == -1; }, 3000)) << "round " << round;
      EXPECT_TRUE(WaitFor([&] { return PeersOfPool(b.pools(), "Shared") == -1; }, 3000)) << "round " << round;
    }
    EXPECT_FALSE(log.contains("failed")) << log.text();
    KTMCServerSetSendCycle(600000);
    SleepMilliseconds(500);
  }
  KTMCServerSetSendCycle(0);
}

}  // namespace
