/* BenchScenario.cpp - setting up routers and servers, measuring, and cross-checking.
 *
 * After the run the router's own hit counters (monitor request 13) are
 * compared with the OK answers the clients received: a difference means
 * lost answers or miscounted hits and is reported in the note column.
 */
#include "BenchScenario.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <chrono>

#include "ASRequestInfo.h"
#include "BenchAppServerFarm.h"
#include "BenchLoad.h"
#include "BenchRouterProcess.h"
#include "KTUtils.h"
#include "RRGetServer.h"
#include "RRMonitorClient.h"
#include "RRMonitorLines.h"
#include "RRToolException.h"

std::string RRScenarioPoolName(int pools, int index) {
  if (pools == 1) return "BenchPool";
  char name[32];
  std::snprintf(name, sizeof name, "BenchPool%03d", index);
  return name;
}

long long RRScenarioPoolHits(const RRToolAddress& monitor) {
  try {
    CMonitorClient client(monitor, 2000);
    long long hits = 0;
    for (const RRPoolLine& pool : RRParsePoolLines(client.request(CMonitorClient::requestLine(MONITOR_GET_POOLS)))) {
      hits += pool.values[RR_POOL_HITS];
    }
    return hits;
  } catch (const CToolException&) {
    return -1;
  }
}

void RRBenchProgress(const RRBenchOptions& options, const std::string& text) {
  if (options.verbose) std::cerr << "rrbench: " << text << std::endl;
}

std::vector<std::string> RRScenarioDatagrams(const RRScenario& scenario) {
  static const char* const extensions[] = {"html", "jsp", "do", "json"};
  const int perPool = std::max(1, scenario.servers / std::max(1, scenario.pools));
  std::vector<std::string> datagrams;
  for (int pool = 0; pool < scenario.pools; ++pool) {
    for (int client = 0; client < 16; ++client) {
      for (int site = 0; site < 4; ++site) {
        const int e = scenario.refused ? 0 : (client + site) % 4;
        const std::string uri = std::string("/shop/page") + std::to_string(site) + "." + extensions[e];
        CASRequestInfo info("bench" + std::to_string(site), uri, "10.1.0." + std::to_string(client + 1), 0, 3);
        info.poolName = RRScenarioPoolName(scenario.pools, pool);
        info.storeName = "Store" + std::to_string(site);
        info.siteGUID = "site-" + std::to_string(site);
        if (scenario.refused) info.extMaxServers = 0;
        if (scenario.limits) {
          info.poolMaxServersPerClient = std::max(1, perPool / 4);
          info.poolMaxServersPerSite = std::max(1, perPool / 2);
          info.extMaxServers = std::max(1, perPool / 2);
          if (site == 3) info.siteMaxServers = std::max(1, perPool / 8);
        }
        datagrams.push_back(RRGetServerDatagram(info));
      }
    }
  }
  // Interleave pools so that consecutive requests go to different pools.
  std::vector<std::string> mixed;
  const std::size_t perPoolCount = datagrams.size() / static_cast<std::size_t>(scenario.pools);
  for (std::size_t k = 0; k < perPoolCount; ++k) {
    for (int pool = 0; pool < scenario.pools; ++pool) {
      mixed.push_back(datagrams[static_cast<std::size_t>(pool) * perPoolCount + k]);
    }
  }
  return mixed;
}

RRBenchFigures RRRunScenario(const RRScenario& scenario, const RRBenchOptions& options) {
  RRBenchFigures figures;
  figures.scenario = scenario.name;
  figures.servers = scenario.servers;
  figures.pools = scenario.pools;
  figures.clients = scenario.clients;
  figures.limits = scenario.limits;
  figures.paced = scenario.paced;
  figures.rounds = options.rounds;
  const std::vector<std::string> datagrams = RRScenarioDatagrams(scenario);

  std::unique_ptr<CBenchDir> dir;
  std::vector<std::unique_ptr<CRouterProcess>> processes;
  std::vector<RRBenchRouterDef> defs;
  if (options.external) {
    RRBenchRouterDef def;
    def.name = "external";
    def.host = options.externalGetServer.host;
    def.port = options.externalGetServer.port;
    def.mcPort = options.externalMessageCenter.port;
    def.monitorPort = options.externalMonitor.port;
    defs.push_back(def);
  } else {
    dir.reset(new CBenchDir);
    if (options.keepFiles) dir->keep();
    const std::string logDir = dir->path() + "/log";
    mkdir(logDir.c_str(), 0755);
    std::set<uint16_t> used;
    for (int r = 0; r < scenario.routers; ++r) {
      RRBenchRouterDef def;
      def.name = "RR" + std::to_string(r + 1);
      def.host = "127.0.0." + std::to_string(r + 1);
      def.port = RRBenchFreePort(def.host, &used);
      def.mcPort = RRBenchFreePort(def.host, &used);
      def.monitorPort = RRBenchFreePort(def.host, &used);
      defs.push_back(def);
    }
    const uint16_t cachePort = RRBenchFreePort("127.0.0.1", &used);
    std::ofstream(dir->path() + "/ServerConfig.xml") << RRBenchConfigXml(defs, cachePort, 1000);
    for (const RRBenchRouterDef& def : defs) {
      processes.emplace_back(new CRouterProcess(options.routerBinary, dir->path(), logDir, def.host));
      processes.back()->start();
    }
    for (std::size_t r = 0; r < defs.size(); ++r) processes[r]->waitReady(defs[r], options.startTimeoutMs);
    if (options.keepFiles) std::cerr << "rrbench: " << scenario.name << ": files kept in " << dir->path() << "\n";
  }

  RRBenchProgress(options, scenario.name + ": registering " + std::to_string(scenario.servers) + " servers");
  std::vector<RRBenchServerDef> servers;
  for (int i = 0; i < scenario.servers; ++i) {
    RRBenchServerDef server;
    server.router = i % static_cast<int>(defs.size());
    server.messageCenter = defs[static_cast<std::size_t>(server.router)].messageCenter();
    server.pool = RRScenarioPoolName(scenario.pools, i % scenario.pools);
    server.port = static_cast<uint16_t>(30000 + i);
    servers.push_back(server);
  }
  // The echo child is forked before the farm connects, so that it holds no
  // copy of the farm's connections (the router sees them close with the farm).
  CEchoServer echo(scenario.servers > 0 ? "0 127.0.0.1 30000" : "1", options.threadBaseline);
  RRFarmOptions farmOptions;
  farmOptions.serviceMs = scenario.serviceMs;
  farmOptions.cacheItemsPerIdle = scenario.cacheItemsPerIdle;
  CAppServerFarm farm(servers, farmOptions);
  try {
    farm.start(options.startTimeoutMs);
  } catch (const CToolException& e) {
    std::string tails;
    for (const auto& process : processes) tails += process->logTail();
    throw CToolException(e.kind(), std::string(e.what()) + "\n" + tails);
  }
  // Routers tell each other about new pools; give that a moment.
  if (defs.size() > 1) SleepMilliseconds(300);

  std::vector<RRToolAddress> targets;
  for (const auto& def : defs) targets.push_back(def.getServer());
  CGetServerClients baseClients({echo.address()}, scenario.clients, datagrams, nullptr);
  CGetServerClients routerClients(targets, scenario.clients, datagrams, &farm, scenario.paced);
  const int roundMs = std::max(100, options.durationMs / std::max(1, options.rounds));
  std::vector<double> baseRates;
  std::vector<double> routerRates;
  std::vector<double> ratios;
  std::vector<uint64_t> okPerTarget(targets.size(), 0);
  CLatencySamples baseLatencies;
  CLatencySamples routerLatencies;
  RRAnswerCounts counts;
  uint64_t stalls = 0;
  double routerSeconds = 0;
  const RRFarmCounters before = farm.counters();
  double farmSeconds = 0;
  for (int round = 0; round < std::max(1, options.rounds); ++round) {
    RRBenchProgress(options, scenario.name + ": round " + std::to_string(round + 1));
    RRClientResult base = baseClients.run(options.warmupMs, roundMs);
    const double baseRate = base.seconds > 0 ? base.counts.answers() / base.seconds : 0;
    baseRates.push_back(baseRate);
    baseLatencies.merge(base.latencies);

    const auto start = std::chrono::steady_clock::now();
    RRClientResult result = routerClients.run(options.warmupMs, roundMs);
    // Let the last cycles finish before the next round.
    SleepMilliseconds(50 + scenario.serviceMs);
    farmSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = result.seconds > 0 ? result.counts.answers() / result.seconds : 0;
    routerRates.push_back(rate);
    if (options.verbose) {
      char text[200];
      std::snprintf(text, sizeof text, "%s: round %d: baseline %.0f/s (lost %llu), router %.0f/s (lost %llu)",
                    scenario.name.c_str(), round + 1, baseRate, static_cast<unsigned long long>(base.counts.lost),
                    rate, static_cast<unsigned long long>(result.counts.lost));
      RRBenchProgress(options, text + std::string());
    }
    if (baseRate > 0) ratios.push_back(rate / baseRate);
    routerLatencies.merge(result.latencies);
    counts.add(result.counts);
    stalls += result.stalls;
    routerSeconds += result.seconds;
    for (std::size_t r = 0; r < targets.size(); ++r) okPerTarget[r] += routerClients.okPerTarget()[r];
  }
  const RRFarmCounters after = farm.counters();

  figures.seconds = routerSeconds;
  figures.counts = counts;
  figures.answersPerSec = RRBenchMedian(routerRates);
  figures.baseAnswersPerSec = RRBenchMedian(baseRates);
  figures.ratioMedian = RRBenchMedian(ratios);
  figures.p50Us = routerLatencies.percentileUs(50);
  figures.p90Us = routerLatencies.percentileUs(90);
  figures.p99Us = routerLatencies.percentileUs(99);
  figures.baseP50Us = baseLatencies.percentileUs(50);
  figures.baseP90Us = baseLatencies.percentileUs(90);
  figures.baseP99Us = baseLatencies.percentileUs(99);
  figures.cyclesPerSec = farmSeconds > 0 ? (after.cycles - before.cycles) / farmSeconds : 0;
  figures.cacheItemsPerSec = farmSeconds > 0 ? (after.cacheItemsReceived - before.cacheItemsReceived) / farmSeconds : 0;

  std::ostringstream note;
  if (counts.tryLater + counts.abort + counts.timeout + counts.error > 0) {
    note << "ok " << counts.ok << " trylater " << counts.tryLater << " abort " << counts.abort << " timeout "
         << counts.timeout << " error " << counts.error << "; ";
  }
  if (counts.lost + counts.malformed + stalls > 0) {
    note << "lost " << counts.lost << " malformed " << counts.malformed << " stalled cycles " << stalls << "; ";
  }
  if (after.unexpected + after.closed > 0) {
    note << "farm: unexpected " << after.unexpected << " closed " << after.closed << "; ";
  }
  if (scenario.cacheItemsPerIdle > 0) {
    note << "cache items sent " << after.cacheItemsSent << " received " << after.cacheItemsReceived
         << " (from the other router " << after.crossRouterItems << ") resets " << after.cacheResets << "; ";
  }
  for (std::size_t r = 0; r < defs.size(); ++r) {
    if (defs[r].monitorPort == 0) continue;
    const long long hits = RRScenarioPoolHits(defs[r].monitor());
    if (hits < 0) {
      note << defs[r].name << " monitor unreadable; ";
    } else if (static_cast<uint64_t>(hits) != okPerTarget[r]) {
      note << defs[r].name << " hits " << hits << " != ok answers " << okPerTarget[r] << "; ";
    }
  }

  int pid = options.external ? options.externalPid : (processes.empty() ? 0 : processes[0]->pid());
  if (pid > 0) {
    double rss = 0;
    double peak = 0;
    if (RRBenchReadMemory(pid, &rss, &peak)) {
      figures.rssMB = rss;
      char text[64];
      std::snprintf(text, sizeof text, "peak RSS %.1f MB; ", peak);
      note << text;
    }
  }
  farm.stop();
  for (auto& process : processes) {
    if (!process->running()) note << "router ended during the run; ";
    process->stop();
  }
  figures.note = note.str();
  if (figures.note.size() >= 2) figures.note.resize(figures.note.size() - 2);
  return figures;
}

std::vector<RRScenario> RRAllScenarios() {
  std::vector<RRScenario> all;
  for (int servers : {10, 100, 1000}) {
    RRScenario s;
    s.name = "flood" + std::to_string(servers);
    s.servers = servers;
    all.push_back(s);
  }
  for (int servers : {10, 100, 1000}) {
    RRScenario s;
    s.name = "refused" + std::to_string(servers);
    s.servers = servers;
    s.refused = true;
    all.push_back(s);
  }
  for (bool limits : {false, true}) {
    for (int servers : {10, 100, 1000}) {
      RRScenario s;
      s.name = "paced" + std::to_string(servers) + (limits ? "-limits" : "");
      s.servers = servers;
      s.limits = limits;
      s.paced = true;
      all.push_back(s);
    }
  }
  RRScenario bite;
  bite.name = "limits-4clients";
  bite.servers = 100;
  bite.clients = 4;
  bite.limits = true;
  bite.serviceMs = 2;
  all.push_back(bite);
  RRScenario two;
  two.name = "two-routers-cache";
  two.servers = 100;
  two.clients = 2;
  two.routers = 2;
  two.paced = true;
  two.cacheItemsPerIdle = 2;
  all.push_back(two);
  RRScenario memory;
  memory.name = "memory-1000x100";
  memory.servers = 1000;
  memory.pools = 100;
  memory.paced = true;
  all.push_back(memory);
  return all;
}
