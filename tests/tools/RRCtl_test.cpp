// Tests of rrctl's commands against scripted monitor and get-server ports:
// the tables and raw output, the requests that reach the router, exit
// statuses and error lines, and the watch loop driven by a test clock.
#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ASRequestInfo.h"
#include "MetricsParser.h"
#include "RRCtl.h"
#include "RRExporter.h"
#include "RRMetrics.h"
#include "RRTextTable.h"
#include "RRToolException.h"
#include "ToolTestServers.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using tooltest::FakeDatagramServer;
using tooltest::FakeLineServer;
using tooltest::MonitorAnswer;
using tooltest::ParseMetrics;
using tooltest::SampleValue;
using json = nlohmann::json;

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

TEST(RRCtlTest, JsonOfEachCommand) {
  FakeLineServer server(monitor());
  CtlResult pools = rrctl({"pools", at(server.port()), "--json"});
  ASSERT_EQ(RRCTL_EXIT_OK, pools.status) << pools.err;
  json p = json::parse(pools.out);
  ASSERT_EQ(2u, p.size());
  EXPECT_EQ(json::parse(R"({"name":"Storefront","idle":3,"servers":5,"peers":0,"as_queue":0,"mc_queue":0,
      "hits":120,"misses":4,"by_client_ip":1,"by_site_guid":2,"by_last_use":117,"limit_by_extension":0,
      "limit_by_site":0,"limit_by_special_site":0,"assigned":1,"working":0,"monitor":0,"down":1,
      "limit_by_client":0,"timeouts":2,"unique_misses":3})"),
            p[0]);
  EXPECT_EQ("Backoffice", p[1]["name"]);
  EXPECT_EQ(7, p[1]["as_queue"]);

  json servers = json::parse(rrctl({"servers", at(server.port()), "--json"}).out);
  ASSERT_EQ(1u, servers.size());
  EXPECT_EQ(json::parse(R"({"pool":"Storefront","host":"10.0.0.21","port":801,"pid":4242,"state":"working",
      "seconds_since_contact":3,"hits":17,"long_requests":1,"quality_hits":15,"mean_processing_time_ms":120,
      "overflow":0,"cache_items_waiting":2,"last_site_guid":"S1","task":"/shop/index.html",
      "last_client_ip":"10.0.0.7","last_extension":"html","priority":5,"last_store_name":"Store1",
      "seconds_since_use":9})"),
            servers[0]);

  json cache = json::parse(rrctl({"cache", at(server.port()), "--json"}).out);
  ASSERT_EQ(2u, cache.size());
  EXPECT_EQ(json::array({"a", "b"}), cache[0]["cache_items"]);
  EXPECT_EQ(json::array({"All"}), cache[1]["cache_items"]);
  // The router's "(NULL)" of an empty text is null, nothing else is.
  for (const char* field : {"last_site_guid", "task", "last_client_ip", "last_extension", "last_store_name"}) {
    EXPECT_TRUE(cache[1][field].is_null()) << field;
  }
  EXPECT_EQ(1, cache[1]["overflow"]);

  json peers = json::parse(rrctl({"peers", at(server.port()), "--json"}).out);
  EXPECT_EQ(json::parse(R"([{"host":"10.0.0.2","port":47004,"state":"up","seconds_since_contact":3},
      {"host":"10.0.0.3","port":47004,"state":"new","seconds_since_contact":-1}])"),
            peers);

  // One document per call, also for an empty router.
  FakeLineServer empty([](const std::string&) { return std::optional<std::string>(MonitorAnswer("")); });
  EXPECT_EQ("[]\n", rrctl({"pools", at(empty.port()), "--json"}).out);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"pools", at(server.port()), "--json", "--raw"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"reset", at(server.port()), "--json"}).status);
}

TEST(RRCtlTest, JsonKeepsOddCacheBytesReadable) {
  FakeLineServer server([](const std::string&) -> std::optional<std::string> {
    return MonitorAnswer(
        "S P 10.0.0.1:1 1 idle 0 0 0 0 0 0 1 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 \xff\"q\\\x01\x01\r\n");
  });
  CtlResult r = rrctl({"cache", at(server.port()), "--json"});
  ASSERT_EQ(RRCTL_EXIT_OK, r.status) << r.err;
  EXPECT_EQ(json::array({"\xEF\xBF\xBD\"q\\"}), json::parse(r.out)[0]["cache_items"]);
}

TEST(RRCtlTest, ExplainJsonReadsEveryLineAndKeepsTheRest) {
  std::string body = "pool Shop\ncandidates 2\ncandidate 10.0.0.1 801 3\ncandidate 10.0.0.2 802 3\n"
                     "limit extension max 4 count 1\nlimit client max 1 count 1 refuses\n"
                     "limit site max x count 1\nhint newer\noutcome refused client\n";
  std::mutex bodyLock;  // the server thread reads the body the test changes below
  FakeLineServer server([&](const std::string&) {
    std::lock_guard<std::mutex> guard(bodyLock);
    return std::optional<std::string>(MonitorAnswer(body));
  });
  CtlResult r = rrctl({"explain", at(server.port()), "Shop", "--client", "10.0.0.7", "--json"});
  ASSERT_EQ(RRCTL_EXIT_OK, r.status) << r.err;
  EXPECT_THAT(server.lines()[0], ::testing::StartsWith("17 10.0.0.7 0 3 "));
  json doc = json::parse(r.out);
  EXPECT_EQ("Shop", doc["pool"]);
  EXPECT_EQ(2, doc["candidate_count"]);
  EXPECT_EQ(json::parse(R"([{"host":"10.0.0.1","port":801,"priority":3},{"host":"10.0.0.2","port":802,"priority":3}])"),
            doc["candidates"]);
  // The malformed limit line is not a limit; it stays in lines and text.
  EXPECT_EQ(json::parse(R"([{"kind":"extension","max":4,"count":1,"refuses":false},
      {"kind":"client","max":1,"count":1,"refuses":true}])"),
            doc["limits"]);
  EXPECT_EQ(json::parse(R"({"result":"refused","limit":"client"})"), doc["outcome"]);
  ASSERT_EQ(9u, doc["lines"].size());
  EXPECT_EQ("limit site max x count 1", doc["lines"][6]);
  EXPECT_EQ("hint newer", doc["text"][7]);
  EXPECT_EQ("refused by the client limit (answer 2)", doc["text"][8]);

  // Each other outcome, and a body cut before its outcome line.
  const std::pair<std::string, json> outcomes[] = {
      {"outcome chosen 10.0.0.2 802 rule site\n",
       json::parse(R"({"result":"chosen","host":"10.0.0.2","port":802,"rule":"site"})")},
      {"outcome no-idle\n", json::parse(R"({"result":"no-idle"})")},
      {"outcome no-pool\n", json::parse(R"({"result":"no-pool"})")},
      {"", json(nullptr)}};
  for (const auto& outcome : outcomes) {
    {
      std::lock_guard<std::mutex> guard(bodyLock);
      body = "pool Shop\n" + outcome.first;
    }
    json other = json::parse(rrctl({"explain", at(server.port()), "Shop", "--json"}).out);
    EXPECT_EQ(outcome.second, other["outcome"]) << outcome.first;
  }
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"explain", at(server.port()), "Shop", "--json", "--raw"}).status);
}

TEST(RRCtlTest, MetricsAreReadByThePrometheusParser) {
  FakeLineServer router(monitor());
  CtlResult r = rrctl({"metrics", at(router.port())});
  ASSERT_EQ(RRCTL_EXIT_OK, r.status) << r.err;
  // One connection carries the three requests.
  EXPECT_THAT(router.lines(), ElementsAre("13", "10", "12"));
  EXPECT_EQ(1, router.connections());
  json f = ParseMetrics(r.out);
  ASSERT_FALSE(f.contains("error")) << f << r.out;
  for (const auto& family : f.items()) {
    EXPECT_EQ(0u, family.key().find("ktrr_")) << family.key();
    EXPECT_FALSE(family.value()["help"].get<std::string>().empty()) << family.key();
    EXPECT_NE("unknown", family.value()["type"]) << family.key();
  }
  EXPECT_EQ("counter", f["ktrr_pool_hits"]["type"]);
  EXPECT_EQ(120, SampleValue(f, "ktrr_pool_hits", "ktrr_pool_hits_total", {{"pool", "Storefront"}}));
  EXPECT_EQ(4, SampleValue(f, "ktrr_pool_misses", "ktrr_pool_misses_total", {{"pool", "Storefront"}}));
  EXPECT_EQ(3, SampleValue(f, "ktrr_pool_unique_misses", "ktrr_pool_unique_misses_total", {{"pool", "Storefront"}}));
  EXPECT_EQ(2, SampleValue(f, "ktrr_pool_timeouts", "ktrr_pool_timeouts_total", {{"pool", "Storefront"}}));
  EXPECT_EQ(117, SampleValue(f, "ktrr_pool_selections", "ktrr_pool_selections_total",
                             {{"pool", "Storefront"}, {"by", "last_use"}}));
  EXPECT_EQ(2, SampleValue(f, "ktrr_pool_selections", "ktrr_pool_selections_total",
                           {{"pool", "Storefront"}, {"by", "site_guid"}}));
  EXPECT_EQ(0, SampleValue(f, "ktrr_pool_limit_refusals", "ktrr_pool_limit_refusals_total",
                           {{"pool", "Storefront"}, {"limit", "special_site"}}));
  EXPECT_EQ("gauge", f["ktrr_pool_servers"]["type"]);
  EXPECT_EQ(5, SampleValue(f, "ktrr_pool_servers", "ktrr_pool_servers", {{"pool", "Storefront"}}));
  EXPECT_EQ(1, SampleValue(f, "ktrr_pool_servers_by_state", "ktrr_pool_servers_by_state",
                           {{"pool", "Storefront"}, {"state", "down"}}));
  EXPECT_EQ(3, SampleValue(f, "ktrr_pool_servers_by_state", "ktrr_pool_servers_by_state",
                           {{"pool", "Storefront"}, {"state", "idle"}}));
  EXPECT_EQ(1, SampleValue(f, "ktrr_pool_peers", "ktrr_pool_peers", {{"pool", "Backoffice"}}));
  EXPECT_EQ(7, SampleValue(f, "ktrr_pool_queue_items", "ktrr_pool_queue_items",
                           {{"pool", "Backoffice"}, {"queue", "server"}}));

  const json server = {{"pool", "Storefront"}, {"server", "10.0.0.21:801"}};
  auto state = [&](const char* name) {
    json labels = server;
    labels["state"] = name;
    return SampleValue(f, "ktrr_server_state", "ktrr_server_state", labels);
  };
  EXPECT_EQ(1, state("working"));
  EXPECT_EQ(0, state("idle"));
  EXPECT_EQ(0, state("down"));
  EXPECT_EQ(5u, f["ktrr_server_state"]["samples"].size());
  EXPECT_EQ(4242, SampleValue(f, "ktrr_server_pid", "ktrr_server_pid", server));
  EXPECT_EQ(5, SampleValue(f, "ktrr_server_priority", "ktrr_server_priority", server));
  EXPECT_EQ(17, SampleValue(f, "ktrr_server_hits", "ktrr_server_hits_total", server));
  EXPECT_EQ(1, SampleValue(f, "ktrr_server_long_requests", "ktrr_server_long_requests_total", server));
  EXPECT_EQ(15, SampleValue(f, "ktrr_server_measured_requests", "ktrr_server_measured_requests_total", server));
  EXPECT_DOUBLE_EQ(0.12, SampleValue(f, "ktrr_server_mean_processing_seconds",
                                     "ktrr_server_mean_processing_seconds", server));
  EXPECT_EQ(0, SampleValue(f, "ktrr_server_cache_overflow", "ktrr_server_cache_overflow", server));
  EXPECT_EQ(2, SampleValue(f, "ktrr_server_cache_items_waiting", "ktrr_server_cache_items_waiting", server));
  EXPECT_EQ(3, SampleValue(f, "ktrr_server_contact_age_seconds", "ktrr_server_contact_age_seconds", server));
  EXPECT_EQ(9, SampleValue(f, "ktrr_server_last_use_age_seconds", "ktrr_server_last_use_age_seconds", server));

  EXPECT_EQ(1, SampleValue(f, "ktrr_peer_state", "ktrr_peer_state", {{"peer", "10.0.0.3:47004"}, {"state", "new"}}));
  EXPECT_EQ(0, SampleValue(f, "ktrr_peer_state", "ktrr_peer_state", {{"peer", "10.0.0.3:47004"}, {"state", "up"}}));
  EXPECT_EQ(3, SampleValue(f, "ktrr_peer_contact_age_seconds", "ktrr_peer_contact_age_seconds",
                           {{"peer", "10.0.0.2:47004"}}));
  // A peer never contacted has no age at all rather than -1 seconds.
  EXPECT_EQ(1u, f["ktrr_peer_contact_age_seconds"]["samples"].size());

  CtlResult gone = rrctl({"metrics", at(tooltest::UnusedPort())});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, gone.status);
  EXPECT_EQ("", gone.out);
}

TEST(RRCtlTest, MetricsAtTheEdgesOfTheMonitorFigures) {
  FakeLineServer router([](const std::string& line) -> std::optional<std::string> {
    // A pool name with a quote and a backslash; counts the router could not
    // read (-1); a counter past 2^31 printed as its low 32 bits, signed.
    if (line == "13") return MonitorAnswer("P q\"u\\ote -1 -1 -1 -1 3 -2147483648 -1 0 0 0 0 0 0 -1 -1 -1 -1 0 0 0\r\n");
    // The same server twice and a state this tool does not know.
    if (line == "10") {
      return MonitorAnswer(
          "S q\"u\\ote ::1:80 7 paused 0 0 0 0 1500 0 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 \r\n"
          "S q\"u\\ote ::1:80 7 idle 0 0 0 0 1500 0 0 (NULL) (NULL) (NULL) (NULL) 0 (NULL) 0 \r\n");
    }
    if (line == "12") return MonitorAnswer("");
    return std::nullopt;
  });
  CtlResult r = rrctl({"metrics", at(router.port())});
  ASSERT_EQ(RRCTL_EXIT_OK, r.status) << r.err;
  json f = ParseMetrics(r.out);
  ASSERT_FALSE(f.contains("error")) << f << r.out;
  const json pool = {{"pool", "q\"u\\ote"}};
  EXPECT_EQ(2147483648.0, SampleValue(f, "ktrr_pool_hits", "ktrr_pool_hits_total", pool));
  EXPECT_EQ(4294967295.0, SampleValue(f, "ktrr_pool_misses", "ktrr_pool_misses_total", pool));
  EXPECT_EQ(0u, f["ktrr_pool_servers"]["samples"].size());
  EXPECT_EQ(0u, f["ktrr_pool_servers_by_state"]["samples"].size());
  EXPECT_EQ(3, SampleValue(f, "ktrr_pool_queue_items", "ktrr_pool_queue_items",
                           {{"pool", "q\"u\\ote"}, {"queue", "peer"}}));
  const json server = {{"pool", "q\"u\\ote"}, {"server", "[::1]:80"}};
  EXPECT_EQ(1u, f["ktrr_server_pid"]["samples"].size());
  EXPECT_DOUBLE_EQ(1.5, SampleValue(f, "ktrr_server_mean_processing_seconds",
                                    "ktrr_server_mean_processing_seconds", server));
  json paused = server;
  paused["state"] = "paused";
  EXPECT_EQ(1, SampleValue(f, "ktrr_server_state", "ktrr_server_state", paused));
  EXPECT_EQ(6u, f["ktrr_server_state"]["samples"].size());
  // The HELP and TYPE lines stand even for a family without samples.
  EXPECT_THAT(r.out, HasSubstr("# HELP ktrr_peer_state "));
  EXPECT_THAT(r.out, HasSubstr("# TYPE ktrr_peer_state gauge\n"));
  EXPECT_EQ("a\\nb\\\\c\\\"", RRMetricLabelValue("a\nb\\c\""));
}

TEST(RRCtlTest, ExporterScrapeLabelsEachRouter) {
  FakeLineServer first(monitor());
  FakeLineServer second(monitor());
  RRExporterOptions options;
  options.monitors = {{"127.0.0.1", first.port()}, {"127.0.0.1", second.port()}};
  json f = ParseMetrics(RRExporterScrape(options));
  ASSERT_FALSE(f.contains("error")) << f;
  for (uint16_t port : {first.port(), second.port()}) {
    EXPECT_EQ(120, SampleValue(f, "ktrr_pool_hits", "ktrr_pool_hits_total",
                               {{"router", at(port)}, {"pool", "Storefront"}}));
  }
  // A single router carries no router label.
  options.monitors.pop_back();
  f = ParseMetrics(RRExporterScrape(options));
  EXPECT_EQ(120, SampleValue(f, "ktrr_pool_hits", "ktrr_pool_hits_total", {{"pool", "Storefront"}}));
  // One router that cannot be reached fails the scrape, naming it.
  const uint16_t unused = tooltest::UnusedPort();
  options.monitors.push_back({"127.0.0.1", unused});
  try {
    RRExporterScrape(options);
    ADD_FAILURE() << "scrape did not fail";
  } catch (const CToolException& e) {
    EXPECT_THAT(e.what(), HasSubstr("router " + at(unused) + ": cannot connect"));
  }
  // A monitor that does not answer fails the scrape within the time-out.
  FakeLineServer silent([](const std::string&) { return std::optional<std::string>(""); });
  options.monitors = {{"127.0.0.1", silent.port()}, {"127.0.0.1", first.port()}};
  options.timeoutMs = 200;
  const auto start = std::chrono::steady_clock::now();
  try {
    RRExporterScrape(options);
    ADD_FAILURE() << "scrape did not fail";
  } catch (const CToolException& e) {
    EXPECT_THAT(e.what(), HasSubstr("router " + at(silent.port()) + ": "));
    EXPECT_THAT(e.what(), HasSubstr("within 200 ms"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"exporter", at(first.port())}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"exporter", "--listen", "127.0.0.1:0"}).status);
  EXPECT_EQ(RRCTL_EXIT_USAGE,
            rrctl({"exporter", "--listen", "127.0.0.1:0", at(first.port()), at(first.port())}).status);
}

}  // namespace
