// Tests of rrctl against the real router program: the monitor lines it
// prints are understood as a whole, get-server answers and the counters
// they move show up in the tables, resets act on the right pools, and the
// exporter serves the router's figures over HTTP.
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "MetricsParser.h"
#include "RRCtl.h"
#include "RRMonitorLines.h"
#include "RouterSystemSupport.h"

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace routertest;
using tooltest::ParseMetrics;
using tooltest::SampleValue;

namespace {

struct CtlResult {
  int status;
  std::string out;
  std::string err;
};

CtlResult rrctl(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  RRCtlIO io(out, err);
  io.sleepMs = [](int) {};
  int status = RRCtlMain(args, io);
  return {status, out.str(), err.str()};
}

class RRCtlRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mInstall.ok());
    mRouter = MakeRouter("RR1");
    mInstall.writeConfig(ConfigXml({mRouter}));
    ASSERT_TRUE(mProcess.start(KTREQROUTER_BIN, {"-iplist", "127.0.0.1", "-console"}, mInstall.environment(),
                               mInstall.root()));
    ASSERT_TRUE(WaitUntilListening(mRouter, 10000)) << mInstall.logText();
    mMonitor = "127.0.0.1:" + std::to_string(mRouter.monitorPort);
    mGetServer = "127.0.0.1:" + std::to_string(mRouter.port);
  }

  // The pool line of the raw monitor answer.
  RRPoolLine pool(const std::string& name) {
    CtlResult raw = rrctl({"pools", mMonitor, "--raw"});
    EXPECT_EQ(RRCTL_EXIT_OK, raw.status) << raw.err;
    for (const RRPoolLine& line : RRParsePoolLines(raw.out)) {
      if (line.name == name) return line;
    }
    ADD_FAILURE() << "no pool " << name << " in " << raw.out;
    return RRPoolLine();
  }

  Installation mInstall;
  RouterDef mRouter;
  RouterProcess mProcess;
  std::string mMonitor;
  std::string mGetServer;
};

TEST_F(RRCtlRouterTest, EmptyRouter) {
  EXPECT_THAT(rrctl({"pools", mMonitor}).out, HasSubstr("(no pools)"));
  EXPECT_THAT(rrctl({"servers", mMonitor}).out, HasSubstr("(no application servers)"));
  EXPECT_THAT(rrctl({"peers", mMonitor}).out, HasSubstr("(no peer routers)"));
  // A pool nobody serves: try later, and time-out on the last attempt.
  EXPECT_EQ("TRYLATER\n", rrctl({"get-server", mGetServer, "Nowhere"}).out);
  EXPECT_EQ("TIMEOUT\n", rrctl({"get-server", mGetServer, "Nowhere", "--tries", "2"}).out);
}

TEST_F(RRCtlRouterTest, TablesFollowTheServersAndTheirAssignments) {
  FakeAppServer first("127.0.0.1:30001");
  FakeAppServer second("127.0.0.1:30002");
  ASSERT_TRUE(first.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_TRUE(second.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, first.announce("Pool1", 101, 2));
  ASSERT_EQ(0, second.announce("Pool1", 102, 1));

  RRPoolLine line = pool("Pool1");
  EXPECT_EQ(2, line.values[RR_POOL_SERVERS]);
  EXPECT_EQ(2, line.values[RR_POOL_IDLE]);

  CtlResult got = rrctl({"get-server", mGetServer, "Pool1", "--client", "10.9.9.9", "--site", "SiteA"});
  ASSERT_EQ(RRCTL_EXIT_OK, got.status) << got.err;
  EXPECT_THAT(got.out, AnyOf("OK 127.0.0.1 30001\n", "OK 127.0.0.1 30002\n"));

  line = pool("Pool1");
  EXPECT_EQ(1, line.values[RR_POOL_HITS]);
  EXPECT_EQ(1, line.values[RR_POOL_ASSIGNED]);
  EXPECT_EQ(1, line.values[RR_POOL_IDLE]);

  // Every server line of the router is understood, with and without cache data.
  CtlResult servers = rrctl({"servers", mMonitor, "--raw"});
  ASSERT_EQ(RRCTL_EXIT_OK, servers.status);
  std::vector<RRServerLine> parsed = RRParseServerLines(servers.out, false);
  ASSERT_EQ(2u, parsed.size());
  int assigned = 0;
  for (const RRServerLine& s : parsed) {
    EXPECT_EQ("Pool1", s.pool);
    EXPECT_EQ("127.0.0.1", s.host);
    if (s.state == "assigned") {
      ++assigned;
      EXPECT_EQ("10.9.9.9", s.client);
      EXPECT_EQ("SiteA", s.site);
      EXPECT_EQ("/rrctl/probe.html", s.task);
      EXPECT_EQ(1, s.hits);
    }
  }
  EXPECT_EQ(1, assigned);
  CtlResult table = rrctl({"servers", mMonitor});
  EXPECT_THAT(table.out, HasSubstr("127.0.0.1:30001"));
  EXPECT_THAT(table.out, HasSubstr("assigned"));

  // Cache data waiting for the other server appears in the cache view.
  std::string cache;
  ASSERT_EQ(0, first.idle(CacheItem("product-17"), &cache));
  CtlResult cacheView = rrctl({"cache", mMonitor, "--raw"});
  ASSERT_EQ(RRCTL_EXIT_OK, cacheView.status) << cacheView.err;
  std::vector<RRServerLine> withCache = RRParseServerLines(cacheView.out, true);
  ASSERT_EQ(2u, withCache.size());
  EXPECT_THAT(rrctl({"cache", mMonitor}).out, HasSubstr("product-17"));
}

TEST_F(RRCtlRouterTest, LimitsOfTheRequestAreHonoured) {
  FakeAppServer server("127.0.0.1:30011");
  ASSERT_TRUE(server.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, server.announce("Pool1"));
  // No server may be used by this client at all: the request is aborted.
  EXPECT_EQ("ABORT\n", rrctl({"get-server", mGetServer, "Pool1", "--pool-client-max", "0"}).out);
  EXPECT_EQ("OK 127.0.0.1 30011\n", rrctl({"get-server", mGetServer, "Pool1"}).out);
  // The only server is assigned now.
  EXPECT_EQ("TRYLATER\n", rrctl({"get-server", mGetServer, "Pool1"}).out);
}

// What the router answers about its state that an explanation must not
// change: the pool lines whole, the server lines without their ages.
std::string untouchedState(const std::string& monitor) {
  std::string state = rrctl({"pools", monitor, "--raw"}).out;
  for (const RRServerLine& s : RRParseServerLines(rrctl({"servers", monitor, "--raw"}).out, false)) {
    state += s.pool + " " + s.host + ":" + std::to_string(s.port) + " " + s.state + " " +
             std::to_string(s.hits) + " " + s.client + " " + s.site + " " + s.extension + "\n";
  }
  return state;
}

TEST_F(RRCtlRouterTest, ExplainTellsTheOutcomeAndChangesNothing) {
  FakeAppServer busy("127.0.0.1:30021");
  FakeAppServer idle("127.0.0.1:30022");
  ASSERT_TRUE(busy.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_TRUE(idle.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, busy.announce("Pool1"));
  ASSERT_EQ(0, idle.announce("Pool1"));
  ASSERT_EQ("OK 127.0.0.1 30021\n",
            rrctl({"get-server", mGetServer, "Pool1", "--client", "10.1.1.1", "--site", "SiteA"}).out);
  const std::string before = untouchedState(mMonitor);

  CtlResult got = rrctl({"explain", mMonitor, "Pool1", "--client", "10.1.1.1", "--pool-client-max", "1"});
  EXPECT_EQ(RRCTL_EXIT_OK, got.status) << got.err;
  EXPECT_EQ("pool Pool1\n"
            "candidates (idle, highest priority): 1\n"
            "  127.0.0.1:30022 priority 0\n"
            "limit client: 1 in use of at most 1 - refuses\n"
            "refused by the client limit (answer 2)\n",
            got.out);
  EXPECT_EQ("pool Pool1\ncandidates 1\ncandidate 127.0.0.1 30022 0\n"
            "limit site max 2 count 1\noutcome chosen 127.0.0.1 30022 rule lru\n",
            rrctl({"explain", mMonitor, "Pool1", "--site", "SiteA", "--pool-site-max", "2", "--raw"}).out);
  EXPECT_EQ("pool Nowhere\nno such pool (answer 1, or 4 on the last try)\n",
            rrctl({"explain", mMonitor, "Nowhere"}).out);
  EXPECT_EQ(before, untouchedState(mMonitor));

  // The only idle server taken: nothing left to choose.
  ASSERT_EQ("OK 127.0.0.1 30022\n", rrctl({"get-server", mGetServer, "Pool1"}).out);
  const std::string full = untouchedState(mMonitor);
  EXPECT_EQ("pool Pool1\ncandidates (idle, highest priority): 0\n"
            "no idle server (answer 1, or 4 on the last try)\n",
            rrctl({"explain", mMonitor, "Pool1"}).out);
  EXPECT_EQ(full, untouchedState(mMonitor));
  EXPECT_EQ(RRCTL_EXIT_USAGE, rrctl({"explain", mMonitor}).status);
}

TEST_F(RRCtlRouterTest, ResetClearsTheCounters) {
  FakeAppServer a("127.0.0.1:30021");
  FakeAppServer b("127.0.0.1:30022");
  ASSERT_TRUE(a.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_TRUE(b.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, a.announce("PoolA"));
  ASSERT_EQ(0, b.announce("PoolB"));
  ASSERT_THAT(rrctl({"get-server", mGetServer, "PoolA"}).out, StartsWith("OK"));
  ASSERT_THAT(rrctl({"get-server", mGetServer, "PoolB"}).out, StartsWith("OK"));
  ASSERT_EQ("TRYLATER\n", rrctl({"get-server", mGetServer, "PoolB"}).out);
  EXPECT_EQ(1, pool("PoolA").values[RR_POOL_HITS]);
  EXPECT_EQ(1, pool("PoolB").values[RR_POOL_MISSES]);

  EXPECT_EQ(RRCTL_EXIT_OK, rrctl({"reset", mMonitor, "PoolB"}).status);
  EXPECT_EQ(1, pool("PoolA").values[RR_POOL_HITS]);
  EXPECT_EQ(0, pool("PoolB").values[RR_POOL_HITS]);
  EXPECT_EQ(0, pool("PoolB").values[RR_POOL_MISSES]);

  CtlResult unknown = rrctl({"reset", mMonitor, "PoolC"});
  EXPECT_EQ(RRCTL_EXIT_FAILURE, unknown.status);
  EXPECT_THAT(unknown.err, HasSubstr("closed the connection"));

  EXPECT_EQ(RRCTL_EXIT_OK, rrctl({"reset", mMonitor}).status);
  EXPECT_EQ(0, pool("PoolA").values[RR_POOL_HITS]);
  // The servers keep their states: the assignments are not undone by a reset.
  EXPECT_EQ(1, pool("PoolA").values[RR_POOL_ASSIGNED]);
}

TEST_F(RRCtlRouterTest, WatchShowsThePools) {
  FakeAppServer a("127.0.0.1:30031");
  ASSERT_TRUE(a.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, a.announce("Watched"));
  CtlResult watch = rrctl({"watch", mMonitor, "--count", "2", "--interval", "10"});
  EXPECT_EQ(RRCTL_EXIT_OK, watch.status) << watch.err;
  std::string::size_type first = watch.out.find("Watched");
  ASSERT_NE(std::string::npos, first);
  EXPECT_NE(std::string::npos, watch.out.find("Watched", first + 1));
}

// Starts the exporter on a port of the system's choice for the monitor and
// returns that port (0 when it did not say it listens).
int StartExporter(RouterProcess& exporter, const std::string& monitor, const std::string& root,
                  const std::string& name) {
  if (!exporter.start(RRCTL_BIN, {"exporter", "--listen", "127.0.0.1:0", "--timeout", "1000", monitor}, {}, root,
                      name)) {
    return 0;
  }
  return WaitForExporterPort(exporter, 10000);
}

TEST_F(RRCtlRouterTest, ExporterServesTheRouterOverHttp) {
  FakeAppServer app("127.0.0.1:30041");
  ASSERT_TRUE(app.connectTo("127.0.0.1", mRouter.mcPort));
  ASSERT_EQ(0, app.announce("Exported"));

  RouterProcess exporter;
  const int port = StartExporter(exporter, mMonitor, mInstall.root(), "exporter");
  ASSERT_GT(port, 0) << exporter.err();

  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(10, 0);
  httplib::Result scrape = client.Get("/metrics");
  ASSERT_TRUE(scrape) << httplib::to_string(scrape.error());
  EXPECT_EQ(200, scrape->status);
  EXPECT_EQ("text/plain; version=0.0.4", scrape->get_header_value("Content-Type"));
  nlohmann::json f = ParseMetrics(scrape->body);
  ASSERT_FALSE(f.contains("error")) << f << scrape->body;
  EXPECT_EQ(1, SampleValue(f, "ktrr_pool_servers", "ktrr_pool_servers", {{"pool", "Exported"}}));
  EXPECT_EQ(1, SampleValue(f, "ktrr_server_state", "ktrr_server_state",
                           {{"pool", "Exported"}, {"server", "127.0.0.1:30041"}, {"state", "idle"}}));

  httplib::Result other = client.Get("/other");
  ASSERT_TRUE(other);
  EXPECT_EQ(404, other->status);

  // Scrapes at the same time are each answered in full.
  std::atomic<int> complete{0};
  std::vector<std::thread> scrapers;
  for (int i = 0; i < 4; ++i) {
    scrapers.emplace_back([&] {
      httplib::Client own("127.0.0.1", port);
      own.set_read_timeout(10, 0);
      for (int n = 0; n < 5; ++n) {
        httplib::Result r = own.Get("/metrics");
        if (r && r->status == 200 && r->body.find("ktrr_pool_hits_total{pool=\"Exported\"} 0\n") != std::string::npos) {
          ++complete;
        }
      }
    });
  }
  for (std::thread& t : scrapers) t.join();
  EXPECT_EQ(20, complete.load());

  // With the router gone a scrape fails with one line that names it.
  mProcess.kill(SIGKILL);
  httplib::Result down = client.Get("/metrics");
  ASSERT_TRUE(down);
  EXPECT_EQ(503, down->status);
  EXPECT_THAT(down->body, StartsWith("router " + mMonitor + ": cannot connect"));
  EXPECT_EQ(1, std::count(down->body.begin(), down->body.end(), '\n')) << down->body;
  EXPECT_EQ('\n', down->body.back());
  EXPECT_THAT(exporter.err(), HasSubstr("rrctl exporter: scrape failed: router " + mMonitor));

  exporter.kill(SIGTERM);
  ASSERT_TRUE(exporter.waitExit(10000));
  EXPECT_TRUE(exporter.exitedWith(0)) << exporter.status() << exporter.err();
}

TEST_F(RRCtlRouterTest, ExporterStopsCleanlyAtOnceAndWithAnOpenConnection) {
  // A signal right after the listening line, before the first request.
  RouterProcess early;
  ASSERT_GT(StartExporter(early, mMonitor, mInstall.root(), "early"), 0) << early.err();
  early.kill(SIGTERM);
  ASSERT_TRUE(early.waitExit(5000));
  EXPECT_TRUE(early.exitedWith(0)) << early.status();

  // An idle keep-alive connection does not hold the exporter for long.
  RouterProcess kept;
  const int port = StartExporter(kept, mMonitor, mInstall.root(), "kept");
  ASSERT_GT(port, 0) << kept.err();
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Get("/metrics"));
  const auto start = std::chrono::steady_clock::now();
  kept.kill(SIGINT);
  ASSERT_TRUE(kept.waitExit(8000));
  EXPECT_TRUE(kept.exitedWith(0)) << kept.status();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(RRCtlRouterTest, ExporterRefusesATakenPort) {
  RouterProcess exporter;
  const std::string taken = "127.0.0.1:" + std::to_string(mRouter.monitorPort);
  ASSERT_TRUE(exporter.start(RRCTL_BIN, {"exporter", "--listen", taken, mMonitor}, {}, mInstall.root(), "taken"));
  ASSERT_TRUE(exporter.waitExit(10000));
  EXPECT_TRUE(exporter.exitedWith(1));
  EXPECT_THAT(exporter.err(), HasSubstr("rrctl: cannot listen on " + taken));
  EXPECT_EQ("", exporter.out());
}

}  // namespace
