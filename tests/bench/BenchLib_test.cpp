// Tests of the benchmark's building blocks: percentiles and medians, CSV
// lines, the written configuration (read back by the router's own reader),
// the datagram sets, the simulated application servers against a scripted
// message center, the clients against a scripted get-server port, and the
// router process wrapper with programs that are not a router.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ASRequestInfo.h"
#include "BenchAppServerFarm.h"
#include "BenchLoad.h"
#include "BenchRouterProcess.h"
#include "BenchScenario.h"
#include "BenchStats.h"
#include "RRToolException.h"
#include "XMLConfig.h"
#include "../tools/ToolTestServers.h"

using ::testing::HasSubstr;
using tooltest::FakeDatagramServer;
using tooltest::FakeLineServer;

namespace {

TEST(BenchStatsTest, NearestRankPercentiles) {
  CLatencySamples samples;
  EXPECT_EQ(0, samples.percentileUs(50));
  for (uint64_t us : {5, 1, 4, 2, 3, 6, 7, 8, 9, 10}) samples.add(us * 1000);
  EXPECT_DOUBLE_EQ(5, samples.percentileUs(50));
  EXPECT_DOUBLE_EQ(9, samples.percentileUs(90));
  EXPECT_DOUBLE_EQ(10, samples.percentileUs(99));
  EXPECT_DOUBLE_EQ(10, samples.percentileUs(100));
  EXPECT_DOUBLE_EQ(1, samples.percentileUs(1));
  EXPECT_DOUBLE_EQ(5.5, samples.meanUs());
  // Samples merged after a percentile was taken are sorted in again.
  CLatencySamples more;
  for (int i = 0; i < 10; ++i) more.add(100000);
  samples.merge(more);
  EXPECT_DOUBLE_EQ(100, samples.percentileUs(90));
  EXPECT_DOUBLE_EQ(10, samples.percentileUs(50));
}

TEST(BenchStatsTest, Medians) {
  EXPECT_EQ(0, RRBenchMedian({}));
  EXPECT_EQ(3, RRBenchMedian({9, 3, 1}));
  EXPECT_EQ(2.5, RRBenchMedian({4, 1, 2, 3}));
}

TEST(BenchStatsTest, CsvLinesMatchTheHeader) {
  RRBenchFigures f;
  f.scenario = "pool10";
  f.note = "ok 1, trylater 2\nsecond line";
  f.rssMB = 4.25;
  const std::string header = RRBenchCsvHeader();
  const std::string line = RRBenchCsvLine(f);
  EXPECT_EQ(std::count(header.begin(), header.end(), ','), std::count(line.begin(), line.end(), ','));
  EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n'));
  EXPECT_THAT(line, HasSubstr("ok 1; trylater 2 second line"));
  EXPECT_THAT(line, HasSubstr(",4.2,"));
  f.rssMB = -1;
  EXPECT_THAT(RRBenchCsvLine(f), HasSubstr(",,"));  // memory not measured stays empty
  EXPECT_THAT(RRBenchTable({f}), HasSubstr("pool10"));
}

TEST(BenchStatsTest, MemoryOfAProcess) {
  double rss = 0;
  double peak = 0;
  ASSERT_TRUE(RRBenchReadMemory(getpid(), &rss, &peak));
  EXPECT_GT(rss, 0);
  EXPECT_GE(peak, rss);
  EXPECT_FALSE(RRBenchReadMemory(-5, &rss, &peak));
}

TEST(BenchRouterProcessTest, ConfigurationIsAcceptedByTheRouterReader) {
  std::set<uint16_t> used;
  std::vector<RRBenchRouterDef> routers(2);
  for (int r = 0; r < 2; ++r) {
    routers[r].name = "RR" + std::to_string(r + 1);
    routers[r].host = "127.0.0.1";
    routers[r].port = RRBenchFreePort("127.0.0.1", &used);
    routers[r].mcPort = RRBenchFreePort("127.0.0.1", &used);
    routers[r].monitorPort = RRBenchFreePort("127.0.0.1", &used);
  }
  EXPECT_EQ(6u, used.size());
  XMLConfig::CConfigFile config;
  config.parse(RRBenchConfigXml(routers, RRBenchFreePort("127.0.0.1", &used), 77));
  EXPECT_EQ(77u, config.getMaxCacheItems());
  EXPECT_EQ(routers[1].mcPort, config.getMessageCenter("RR2").port);
  EXPECT_EQ(routers[0].monitorPort, config.getMonitor("RR1").port);
  EXPECT_EQ(2u, config.getRequestRoutersByPoolName("BenchPool").size());
}

TEST(BenchScenarioTest, DatagramsFitAndCarryTheLimits) {
  RRScenario plain;
  plain.servers = 100;
  plain.pools = 3;
  std::vector<std::string> datagrams = RRScenarioDatagrams(plain);
  ASSERT_EQ(3u * 64u, datagrams.size());
  std::set<std::string> pools;
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    ASSERT_LE(datagrams[i].size(), 1023u);
    std::istringstream in(datagrams[i].substr(2));
    CASRequestInfo info;
    in >> info;
    pools.insert(info.poolName);
    EXPECT_EQ(-1, info.poolMaxServersPerClient);
    if (i < 3) {
      EXPECT_EQ("BenchPool00" + std::to_string(i), info.poolName);  // pools interleave
    }
  }
  EXPECT_EQ(3u, pools.size());

  RRScenario limited;
  limited.servers = 8;
  limited.limits = true;
  for (const std::string& datagram : RRScenarioDatagrams(limited)) {
    std::istringstream in(datagram.substr(2));
    CASRequestInfo info;
    in >> info;
    EXPECT_EQ("BenchPool", info.poolName);
    EXPECT_EQ(2, info.poolMaxServersPerClient);
    EXPECT_EQ(4, info.extMaxServers);
    EXPECT_TRUE(info.siteMaxServers == -1 || info.siteMaxServers == 1);
  }

  // Refused requests share one extension, so the refusal is logged once.
  RRScenario refused;
  refused.refused = true;
  for (const std::string& datagram : RRScenarioDatagrams(refused)) {
    std::istringstream in(datagram.substr(2));
    CASRequestInfo info;
    in >> info;
    EXPECT_EQ("html", info.extension);
    EXPECT_EQ(0, info.extMaxServers);
  }
}

// A message center that acknowledges every header line; the reply for a
// line can be scripted by its code.
class ScriptedMessageCenter {
 public:
  explicit ScriptedMessageCenter(std::function<std::string(const std::string&)> reply =
                                     [](const std::string&) { return std::string("0 0\n"); })
      : mServer([this, reply](const std::string& line) -> std::optional<std::string> {
          ++mLines;
          return reply(line);
        }) {}
  uint16_t port() const { return mServer.port(); }
  std::vector<std::string> lines() const { return mServer.lines(); }
  int count() const { return mLines; }

 private:
  std::atomic<int> mLines{0};
  FakeLineServer mServer;
};

RRBenchServerDef serverAt(uint16_t mcPort, uint16_t port, int router = 0) {
  RRBenchServerDef def;
  def.messageCenter = {"127.0.0.1", mcPort};
  def.router = router;
  def.pool = "BenchPool";
  def.port = port;
  return def;
}

TEST(BenchFarmTest, AnnouncesAndRunsOneCyclePerAssignment) {
  ScriptedMessageCenter mc;
  CAppServerFarm farm({serverAt(mc.port(), 30001)}, RRFarmOptions());
  farm.start(2000);
  EXPECT_EQ((std::vector<std::string>{"2 0 127.0.0.1:30001 BenchPool 100000 0"}), mc.lines());
  farm.assign(30001);
  ASSERT_TRUE(farm.waitCycle(30001, 0, 2000));
  EXPECT_EQ(1u, farm.serverCycles(30001));
  auto lines = mc.lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("4 0 127.0.0.1:30001 0", lines[1]);
  EXPECT_EQ("3 0 127.0.0.1:30001 0", lines[2]);
  RRFarmCounters c = farm.counters();
  EXPECT_EQ(1u, c.cycles);
  EXPECT_EQ(0u, c.unexpected);
  // A port that belongs to no simulated server is an anomaly, not a crash.
  farm.assign(40000);
  EXPECT_EQ(1u, farm.counters().unexpected);
  EXPECT_FALSE(farm.waitCycle(40000, 0, 10));
}

TEST(BenchFarmTest, CountsCacheItemsByOrigin) {
  // The router hands back items of this router's servers, of the other
  // router's servers, and a reset.
  ScriptedMessageCenter mc([](const std::string& line) {
    if (line.compare(0, 2, "3 ") == 0) {
      const std::string data = std::string("r0-s1-n0\x01\x01") + "r1-s2-n0\x01\x01" + "All\x01\x01";
      return "0 " + std::to_string(data.size()) + "\n" + data;
    }
    return std::string("0 0\n");
  });
  CAppServerFarm farm({serverAt(mc.port(), 30001)}, RRFarmOptions());
  farm.start(2000);
  farm.assign(30001);
  ASSERT_TRUE(farm.waitCycle(30001, 0, 2000));
  RRFarmCounters c = farm.counters();
  EXPECT_EQ(2u, c.cacheItemsReceived);
  EXPECT_EQ(1u, c.crossRouterItems);
  EXPECT_EQ(1u, c.cacheResets);
}

TEST(BenchFarmTest, IdleReportsCarryTheServersItemsAfterTheServiceTime) {
  ScriptedMessageCenter mc;
  RRFarmOptions options;
  options.serviceMs = 50;
  options.cacheItemsPerIdle = 1;
  CAppServerFarm farm({serverAt(mc.port(), 30001, 1)}, options);
  farm.start(2000);
  const auto start = std::chrono::steady_clock::now();
  farm.assign(30001);
  ASSERT_TRUE(farm.waitCycle(30001, 0, 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  // The idle header announces the item; the item itself precedes nothing else.
  auto lines = mc.lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("3 " + std::to_string(std::string("r1-s0-n0\x01\x01").size()) + " 127.0.0.1:30001 0", lines[2]);
  EXPECT_EQ(1u, farm.counters().cacheItemsSent);
}

TEST(BenchFarmTest, RefusedAnnouncementStopsTheStart) {
  ScriptedMessageCenter busy([](const std::string&) { return std::string("2 0\n"); });
  CAppServerFarm farm({serverAt(busy.port(), 30001)}, RRFarmOptions());
  try {
    farm.start(2000);
    FAIL() << "no exception";
  } catch (const CToolException& e) {
    EXPECT_EQ(CToolException::TOOL_PROTOCOL, e.kind());
    EXPECT_THAT(e.what(), HasSubstr("code 2"));
  }
  CAppServerFarm twice({serverAt(busy.port(), 30001), serverAt(busy.port(), 30001)}, RRFarmOptions());
  EXPECT_THROW(twice.start(2000), CToolException);
}

TEST(BenchFarmTest, ClosedConnectionsAreCounted) {
  ScriptedMessageCenter mc([](const std::string& line) -> std::string {
    return line.compare(0, 2, "4 ") == 0 ? "garbage\n" : "0 0\n";
  });
  CAppServerFarm farm({serverAt(mc.port(), 30001)}, RRFarmOptions());
  farm.start(2000);
  farm.assign(30001);
  EXPECT_FALSE(farm.waitCycle(30001, 0, 200));
  RRFarmCounters c = farm.counters();
  EXPECT_EQ(1u, c.closed);
  EXPECT_EQ(1u, c.unexpected);
}

TEST(BenchLoadTest, ClientsCountAnswersAndReportAssignments) {
  std::atomic<int> next{0};
  const std::vector<std::string> answers = {"0 127.0.0.1 30001", "1", "2", "3 9", "4", "bogus"};
  FakeDatagramServer router([&](const std::string&) {
    return std::optional<std::string>(answers[static_cast<std::size_t>(next++) % answers.size()]);
  });
  ScriptedMessageCenter mc;
  CAppServerFarm farm({serverAt(mc.port(), 30001)}, RRFarmOptions());
  farm.start(2000);
  CGetServerClients clients({{"127.0.0.1", router.port()}}, 1, {"1 a", "1 b"}, &farm, true);
  RRClientResult result = clients.run(0, 200);
  EXPECT_GT(result.counts.answers(), 6u);
  EXPECT_GT(result.counts.ok, 0u);
  EXPECT_GT(result.counts.tryLater, 0u);
  EXPECT_GT(result.counts.abort, 0u);
  EXPECT_GT(result.counts.error, 0u);
  EXPECT_GT(result.counts.timeout, 0u);
  EXPECT_GT(result.counts.malformed, 0u);
  EXPECT_EQ(0u, result.stalls);
  EXPECT_EQ(result.counts.answers(), result.latencies.count());
  // Paced: every assignment finished its cycle before the next request.
  EXPECT_EQ(result.okTotal, farm.counters().cycles);
  EXPECT_EQ(result.okTotal, clients.okPerTarget()[0]);
  const std::vector<std::string> seen = router.datagrams();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ("1 a", seen[0]);
  EXPECT_EQ("1 b", seen[1]);
}

TEST(BenchLoadTest, EchoBaselineAndSilentTargets) {
  // The baseline answers from a process of its own, or from a thread.
  for (bool inThread : {false, true}) {
    SCOPED_TRACE(inThread ? "thread" : "process");
    CEchoServer echo("0 127.0.0.1 30000", inThread);
    CGetServerClients clients({echo.address()}, 2, {"1 x"}, nullptr);
    RRClientResult result = clients.run(20, 100);
    EXPECT_GT(result.counts.ok, 0u);
    EXPECT_EQ(result.counts.ok, result.counts.answers());
    EXPECT_GT(result.latencies.percentileUs(50), 0);
  }

  FakeDatagramServer silent([](const std::string&) { return std::nullopt; });
  CGetServerClients waiting({{"127.0.0.1", silent.port()}}, 1, {"1 x"}, nullptr);
  RRClientResult lost = waiting.run(0, 100, 30);
  EXPECT_EQ(0u, lost.counts.answers());
  EXPECT_GT(lost.counts.lost, 0u);
}

TEST(BenchRouterProcessTest, ProgramsThatAreNoRouter) {
  CBenchDir dir;
  const std::string logDir = dir.path();
  RRBenchRouterDef def;
  def.name = "RR1";
  def.host = "127.0.0.1";
  def.port = tooltest::UnusedPort();
  def.mcPort = tooltest::UnusedPort();
  def.monitorPort = tooltest::UnusedPort();

  CRouterProcess missing("/nonexistent/router", dir.path(), logDir, "127.0.0.1");
  EXPECT_THROW(missing.start(), CToolException);

  // A program that ends at once: the wait says so instead of timing out.
  const std::string script = dir.path() + "/fake-router.sh";
  std::ofstream(script) << "#!/bin/sh\necho \"started with $*\"\necho \"config $VEXORA_CONFIG\"\nexit 3\n";
  chmod(script.c_str(), 0755);
  CRouterProcess ends(script, dir.path(), logDir, "127.0.0.1");
  ends.start();
  try {
    ends.waitReady(def, 5000);
    FAIL() << "no exception";
  } catch (const CToolException& e) {
    EXPECT_EQ(CToolException::TOOL_CLOSED, e.kind());
    EXPECT_THAT(e.what(), HasSubstr("started with -iplist 127.0.0.1 -console"));
    EXPECT_THAT(e.what(), HasSubstr("config " + dir.path()));
  }

  // A program that never listens: a time-out, and stop() ends it.
  const std::string sleeper = dir.path() + "/sleeper.sh";
  std::ofstream(sleeper) << "#!/bin/sh\nexec sleep 30\n";
  chmod(sleeper.c_str(), 0755);
  CRouterProcess quiet(sleeper, dir.path(), logDir, "127.0.0.1");
  quiet.start();
  EXPECT_THROW(quiet.waitReady(def, 200), CToolException);
  EXPECT_TRUE(quiet.running());
  const int status = quiet.stop();
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(quiet.running());
}

}  // namespace
