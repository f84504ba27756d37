// Tests of rrctl's commands against scripted monitor and get-server ports:
// the tables and raw output, the requests that reach the router, exit
// statuses and error lines, and the watch loop driven by a test clock.
#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ASRequestInfo.h"
#include "RRCtl.h"
#include "RRTextTable.h"
#include "RRToolException.h"
#include "ToolTestServers.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using tooltest::FakeDatagramServer;
using tooltest::FakeLineServer;
using tooltest::MonitorAnswer;

namespace {

const char* const kPools =
    "P Storefront 3 5 0 0 0 120 4 1 2 117 0 0 0 1 0 0 1 0 2 3\r\n"
    "P Backoffice 1 1 1 7 0 9 0 0 0 9 0 0 0 0 0 0 0 0 0 0\r\n";
const char* const kServers =
    "S Storefront 10.0.0.21:801 4242 working 3 17 1 15 120 0 2 S1 /shop/index.html 10.0.0.7 html 5 Store1 9 \r\n";
const char* const kCache =
    "S Storefront 10.0.0.21:801 4242 idle 3 17 1 15 120 0 2 S1 /x.html 10.0.0.7 html 5 Store1 9 a\x01\x01" "b\x01\x01\r\n"
    "S Storefront 10.0.0.22:802 4243 idle 3 0 0 0 0 1 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 9 All\x01\x01\r\n";
const char* const kPeers = "M 10.0.0.2:47004 up 3\r\nM 10.0.0.3:47004 new -1\r\n";

struct CtlResult {
  int status;
  std::string out;
  std::string err;
};

CtlResult rrctl(const std::vector<std::string>& args, std::function<void(RRCtlIO&)> setup = nullptr) {
  std::ostringstream out;
  std::ostringstream err;
  RRCtlIO io(out, err);
  io.sleepMs = [](int) {};
  io.timestamp = [] { return std::string("2024-01-02 03:04:05"); };
  if (setup) setup(io);
  int status = RRCtlMain(args, io);
  return {status, out.str(), err.str()};
}

// A monitor that answers the four queries and the resets like the router.
FakeLineServer::Handler monitor() {
  return [](const std::string& line) -> std::optional<std::string> {
    if (line == "13") return MonitorAnswer(kPools);
    if (line == "10") return MonitorAnswer(kServers);
    if (line == "11") return MonitorAnswer(kCache);
    if (line == "12") return MonitorAnswer(kPeers);
    if (line == "15" || line == "14 0 Storefront") return MonitorAnswer("");
    return std::nullopt;
  };
}

std::string at(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// The lines of a text.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

TEST(RRTextTableTest, AlignmentPaddingAndEmptyTables) {
  CTextTable table({{"NAME", false}, {"N", true}, {"NOTE", false}});
  table.addRow({"a", "5", "x"});
  table.addRow({"longer", "12345"});
  EXPECT_EQ(
      "NAME        N  NOTE\n"
      "a           5  x\n"
      "longer  12345\n",
      table.render());
  EXPECT_EQ(CToolException::TOOL_USAGE, [&] {
    try {
      table.addRow({"1", "2", "3", "4"});
    } catch (const CToolException& e) {
      return e.kind();
    }
    return CToolException::TOOL_IO;
  }());
  CTextTable empty({{"A", false}});
  EXPECT_EQ("A\n(none)\n", empty.render("(none)"));
  EXPECT_EQ("A\n", empty.render());
}

TEST(RRCtlTest, PoolTable) {
  FakeLineServer server(monitor());
  CtlResult r = rrctl({"pools", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_OK, r.status);
  EXPECT_EQ("", r.err);
  auto out = lines(r.out);
  ASSERT_EQ(3u, out.size());
  EXPECT_EQ(0u, out[0].find("POOL        IDLE  SERVERS  ASSIGNED  WORKING  MONITOR  DOWN  PEERS  HITS  MISSES"));
  // Columns line up: every row is as wide as the header where numbers end.
  EXPECT_EQ(0u, out[1].find("Storefront     3        5         1        0        0     1      0   120       4"));
  EXPECT_EQ(0u, out[2].find("Backoffice     1        1         0        0        0     0      1     9       0"));
  EXPECT_EQ(out[0].size(), out[1].size());
  EXPECT_EQ(std::vector<std::string>{"13"}, server.lines());
}

TEST(RRCtlTest, ServerPeerAndCacheTables) {
  FakeLineServer server(monitor());
  CtlResult servers = rrctl({"servers", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_OK, servers.status);
  EXPECT_THAT(servers.out, HasSubstr("10.0.0.21:801"));
  EXPECT_THAT(servers.out, HasSubstr("working"));
  EXPECT_THAT(servers.out, HasSubstr("/shop/index.html"));

  CtlResult peers = rrctl({"peers", at(server.port())});
  EXPECT_THAT(lines(peers.out), ElementsAre("PEER            STATE  CONTACT_S", "10.0.0.2:47004  up             3",
                                            "10.0.0.3:47004  new           -1"));

  CtlResult cache = rrctl({"cache", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_OK, cache.status);
  auto out = lines(cache.out);
  ASSERT_EQ(3u, out.size());
  EXPECT_THAT(out[1], HasSubstr("a, b"));
  EXPECT_THAT(out[2], HasSubstr("All"));
  EXPECT_THAT(cache.out, Not(HasSubstr("\x01")));
}

TEST(RRCtlTest, RawOutputIsTheAnswerUnchanged) {
  FakeLineServer server(monitor());
  EXPECT_EQ(kPools, rrctl({"pools", at(server.port()), "--raw"}).out);
  EXPECT_EQ(kCache, rrctl({"cache", "--raw", at(server.port())}).out);
  // The command comes first.
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"--raw", "cache", at(server.port())}).status);
}

TEST(RRCtlTest, EmptyRouterShowsHeadersAndANote) {
  FakeLineServer server([](const std::string&) { return std::optional<std::string>(MonitorAnswer("")); });
  CtlResult r = rrctl({"pools", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_OK, r.status);
  EXPECT_THAT(lines(r.out), ElementsAre(HasSubstr("POOL"), "(no pools)"));
}

TEST(RRCtlTest, ResetRequests) {
  FakeLineServer server(monitor());
  CtlResult all = rrctl({"reset", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_OK, all.status);
  EXPECT_EQ("statistics of all pools reset\n", all.out);
  CtlResult one = rrctl({"reset", at(server.port()), "Storefront"});
  EXPECT_EQ(RRCTL_EXIT_OK, one.status);
  EXPECT_EQ("statistics of pool Storefront reset\n", one.out);
  // The router closes the connection for a pool it does not know.
  CtlResult unknown = rrctl({"reset", at(server.port()), "Nowhere"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, unknown.status);
  EXPECT_EQ("", unknown.out);
  EXPECT_THAT(unknown.err, HasSubstr("closed the connection without answering '14 0 Nowhere'"));
  EXPECT_THAT(server.lines(), ElementsAre("15", "14 0 Storefront", "14 0 Nowhere"));
  // A name the router would cut to 99 characters never leaves the tool.
  CtlResult longName = rrctl({"reset", at(server.port()), std::string(100, 'p')});
  EXPECT_EQ(RRCTL_EXIT_USAGE, longName.status);
  EXPECT_EQ(3u, server.lines().size());
  EXPECT_EQ(RRCTL_EXIT_FAILURE, rrctl({"reset", at(server.port()), std::string(99, 'p')}).status);
  EXPECT_EQ("14 0 " + std::string(99, 'p'), server.lines().back());
}

TEST(RRCtlTest, FailuresGoToStandardErrorWithAStatus) {
  CtlResult bad = rrctl({"pools", "localhost"});
  EXPECT_EQ(RRCTL_EXIT_USAGE, bad.status);
  EXPECT_THAT(bad.err, HasSubstr("rrctl: bad address 'localhost'"));
  EXPECT_EQ("", bad.out);

  CtlResult closed = rrctl({"servers", at(tooltest::UnusedPort())});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, closed.status);
  EXPECT_THAT(closed.err, HasSubstr("rrctl: cannot connect to 127.0.0.1:"));

  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"frobnicate", "127.0.0.1:1"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", "127.0.0.1:1", "extra"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", "127.0.0.1:1", "--interval", "5"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", "127.0.0.1:1", "--timeout"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", "127.0.0.1:1", "--timeout", "0"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", "127.0.0.1:1", "--timeout", "12ms"}).status);
  CtlResult help = rrctl({"--help"});
  EXPECT_EQ(RRCTL_EXIT_OK, help.status);
  EXPECT_THAT(help.out, HasSubstr("get-server HOST:PORT POOL"));
}

TEST(RRCtlTest, MalformedAnswersAreRefusedWholly) {
  FakeLineServer server([](const std::string& line) -> std::optional<std::string> {
    if (line == "13") return MonitorAnswer("P Good 1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\r\nP Bad 1\r\n");
    if (line == "10") return std::string("HTTP/1.1 400 Bad Request\r\n\r\n");
    return std::nullopt;
  });
  CtlResult pools = rrctl({"pools", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, pools.status);
  EXPECT_EQ("", pools.out);
  EXPECT_THAT(pools.err, HasSubstr("malformed monitor line 2"));
  CtlResult servers = rrctl({"servers", at(server.port())});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, servers.status);
  EXPECT_THAT(servers.err, HasSubstr("malformed monitor answer header 'HTTP/1.1 400 Bad Request"));
}

TEST(RRCtlTest, SilentMonitorTimesOut) {
  FakeLineServer server([](const std::string&) { return std::optional<std::string>(""); });
  CtlResult r = rrctl({"pools", at(server.port()), "--timeout", "100"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, r.status);
  EXPECT_THAT(r.err, HasSubstr("within 100 ms"));
}

TEST(RRCtlTest, GetServerSendsTheRequestDescription) {
  FakeDatagramServer router([](const std::string&) { return std::optional<std::string>("0 10.0.0.21 801"); });
  CtlResult r = rrctl({"get-server", at(router.port()), "Pool1", "--client", "10.0.0.9", "--site", "S7", "--ext", "jsp",
                 "--tries", "2", "--max-tries", "5", "--pool-client-max", "4", "--ext-max", "0", "--site-max", "-3"});
  EXPECT_EQ(RRCTL_EXIT_OK, r.status) << r.err;
  EXPECT_EQ("OK 10.0.0.21 801\n", r.out);
  ASSERT_EQ(1u, router.datagrams().size());
  const std::string datagram = router.datagrams()[0];
  ASSERT_EQ(0u, datagram.find("1 "));
  std::istringstream in(datagram.substr(2));
  CASRequestInfo info;
  in >> info;
  EXPECT_EQ("10.0.0.9", info.clientIP);
  EXPECT_EQ(2, info.tries);
  EXPECT_EQ(5, info.maxTries);
  EXPECT_EQ("Pool1", info.poolName);
  EXPECT_EQ("S7", info.siteGUID);
  EXPECT_EQ("jsp", info.extension);
  EXPECT_EQ(-3, info.siteMaxServers);
  EXPECT_EQ(-1, info.poolMaxServersPerSite);
  EXPECT_EQ(4, info.poolMaxServersPerClient);
  EXPECT_EQ(0, info.extMaxServers);
  EXPECT_EQ("/rrctl/probe.html", info.uri);
}

TEST(RRCtlTest, GetServerAnswers) {
  std::atomic<int> next{0};
  const std::vector<std::string> answers = {"1", "3 9", "0 host", "4"};
  FakeDatagramServer router([&](const std::string&) { return std::optional<std::string>(answers[next++ % 4]); });
  EXPECT_EQ("TRYLATER\n", rrctl({"get-server", at(router.port()), "P"}).out);
  EXPECT_EQ("3 9\n", rrctl({"get-server", at(router.port()), "P", "--raw"}).out);
  CtlResult broken = rrctl({"get-server", at(router.port()), "P"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, broken.status);
  EXPECT_THAT(broken.err, HasSubstr("malformed get-server answer '0 host'"));
  EXPECT_EQ("TIMEOUT\n", rrctl({"get-server", at(router.port()), "P"}).out);
}

TEST(RRCtlTest, GetServerRefusals) {
  FakeDatagramServer silent([](const std::string&) { return std::nullopt; });
  CtlResult quiet = rrctl({"get-server", at(silent.port()), "P", "--timeout", "100"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, quiet.status);
  EXPECT_THAT(quiet.err, HasSubstr("no answer"));
  CtlResult nobody = rrctl({"get-server", at(tooltest::UnusedPort()), "P"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, nobody.status);
  EXPECT_THAT(nobody.err, HasSubstr("refused the datagram"));
  CtlResult blank = rrctl({"get-server", at(silent.port()), "P", "--site", "a b"});
  EXPECT_EQ(RRCTL_EXIT_USAGE, blank.status);
  EXPECT_THAT(blank.err, HasSubstr("white space"));
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"get-server", at(silent.port()), "P", "--uri", "/nodot"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"get-server", at(silent.port()), "P", "--tries", "-1"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"get-server", at(silent.port()), "P", "--ext-max", "99999999999"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"get-server", at(silent.port())}).status);
  EXPECT_EQ(1u, silent.datagrams().size());
}

TEST(RRCtlTest, WatchRefreshesOverOneConnection) {
  FakeLineServer server(monitor());
  std::vector<int> sleeps;
  CtlResult r = rrctl({"watch", at(server.port()), "--count", "3", "--interval", "250"},
                [&](RRCtlIO& io) { io.sleepMs = [&](int ms) { sleeps.push_back(ms); }; });
  EXPECT_EQ(RRCTL_EXIT_OK, r.status);
  EXPECT_EQ((std::vector<int>{250, 250}), sleeps);
  EXPECT_EQ(3u, server.lines().size());
  EXPECT_EQ(1, server.connections());
  const std::string title = "pools of " + at(server.port()) + " at 2024-01-02 03:04:05\n";
  std::string::size_type first = r.out.find(title);
  ASSERT_EQ(0u, first);
  EXPECT_NE(std::string::npos, r.out.find(title, r.out.find(title, 1) + 1));
  EXPECT_THAT(r.out, Not(HasSubstr("\x1b[")));
}

TEST(RRCtlTest, WatchSurvivesARouterThatGoesAway) {
  std::atomic<int> calls{0};
  FakeLineServer server([&](const std::string&) -> std::optional<std::string> {
    // The second answer is refused (connection closed); the watch connects again.
    if (++calls == 2) return std::nullopt;
    return MonitorAnswer(kPools);
  });
  CtlResult r = rrctl({"watch", at(server.port()), "--count", "3"}, [](RRCtlIO& io) { io.clearScreen = true; });
  EXPECT_EQ(RRCTL_EXIT_OK, r.status);
  EXPECT_EQ(2, server.connections());
  EXPECT_THAT(r.out, HasSubstr("rrctl: "));
  EXPECT_THAT(r.out, HasSubstr("\x1b[H\x1b[2J"));
  CtlResult gone = rrctl({"watch", at(tooltest::UnusedPort()), "--count", "2"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, gone.status);
  EXPECT_THAT(gone.out, HasSubstr("cannot connect"));
}

}  // namespace
