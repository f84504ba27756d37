/* BenchScale.cpp - registering thousands of servers, alternating rounds, and the monitor check.
 *
 * Both sides of a case use the same farm (direct mode) and the same
 * full-cycle clients; only the addresses differ. The baseline child is
 * forked before any connection of the case is opened, so it holds only its
 * own sockets.
 */
#include "BenchScale.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

#include "BenchAppServerFarm.h"
#include "BenchCycleBaseline.h"
#include "BenchLoad.h"
#include "BenchRouterProcess.h"
#include "RRMonitorClient.h"
#include "RRMonitorLines.h"
#include "RRTextTable.h"
#include "RRToolException.h"

using Clock = std::chrono::steady_clock;

namespace {

/* One side of a case: a farm registered with one target and its clients. */
struct Side {
  std::unique_ptr<CAppServerFarm> farm;
  std::unique_ptr<CCycleClients> clients;
  double registerSeconds = 0;
  std::vector<double> rates;
  CLatencySamples getServer;
  CLatencySamples cycle;
  RRAnswerCounts counts;
  uint64_t failed = 0;
  uint64_t okTotal = 0;

  void open(const RRToolAddress& getServerAddress, const RRToolAddress& messageCenter, const RRScaleCase& c,
            const std::vector<std::string>& datagrams, int timeoutMs, int cpu) {
    std::vector<RRBenchServerDef> servers;
    for (int i = 0; i < c.servers; ++i) {
      RRBenchServerDef server;
      server.messageCenter = messageCenter;
      server.pool = RRScenarioPoolName(c.pools, i % c.pools);
      server.port = static_cast<uint16_t>(30000 + i);
      servers.push_back(server);
    }
    RRFarmOptions farmOptions;
    farmOptions.direct = true;
    farm.reset(new CAppServerFarm(servers, farmOptions));
    const Clock::time_point start = Clock::now();
    farm->start(timeoutMs);
    registerSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    clients.reset(new CCycleClients(getServerAddress, c.clients, datagrams, farm.get(), cpu));
  }

  /* One measured round; returns its cycles per second. */
  double round(int warmupMs, int roundMs) {
    RRCycleResult result = clients->run(warmupMs, roundMs);
    const double rate = result.seconds > 0 ? static_cast<double>(result.cycles) / result.seconds : 0;
    rates.push_back(rate);
    getServer.merge(result.getServer);
    cycle.merge(result.cycle);
    counts.add(result.counts);
    failed += result.failed;
    okTotal += result.okTotal;
    return rate;
  }

  void close() {
    if (farm) farm->stop();
    clients.reset();
    farm.reset();
  }
};

std::string sideNote(const char* label, const Side& side) {
  std::ostringstream note;
  const RRAnswerCounts& c = side.counts;
  if (c.tryLater + c.abort + c.timeout + c.error + c.lost + c.malformed + side.failed > 0) {
    note << label << ": trylater " << c.tryLater << " abort " << c.abort << " timeout " << c.timeout << " error "
         << c.error << " lost " << c.lost << " malformed " << c.malformed << " failed cycles " << side.failed
         << "; ";
  }
  return note.str();
}

long long descriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  return limit.rlim_cur == RLIM_INFINITY ? 1 << 30 : static_cast<long long>(limit.rlim_cur);
}

}  // namespace

RRScaleFigures RRRunScaleCase(const RRScaleCase& c, const RRBenchOptions& options) {
  RRScaleFigures figures;
  figures.name = c.name;
  figures.servers = c.servers;
  figures.pools = c.pools;
  figures.clients = c.clients;
  figures.rounds = std::max(1, options.rounds);
  RRScenario scenario;
  scenario.servers = c.servers;
  scenario.pools = c.pools;
  const std::vector<std::string> datagrams = RRScenarioDatagrams(scenario);
  const int roundMs = std::max(100, options.durationMs / figures.rounds);
  // Both farms at once need a descriptor per server each, plus the clients' and some spare.
  figures.alternated = 2LL * c.servers + 256 <= descriptorLimit();
  std::ostringstream note;

  // The baseline child first, while this process holds no connection it could inherit.
  std::unique_ptr<CCycleBaseline> baseline(new CCycleBaseline(options.serverCpu));

  CBenchDir dir;
  if (options.keepFiles) dir.keep();
  const std::string logDir = dir.path() + "/log";
  mkdir(logDir.c_str(), 0755);
  std::set<uint16_t> used;
  RRBenchRouterDef def;
  def.name = "RR1";
  def.host = "127.0.0.1";
  def.port = RRBenchFreePort(def.host, &used);
  def.mcPort = RRBenchFreePort(def.host, &used);
  def.monitorPort = RRBenchFreePort(def.host, &used);
  std::ofstream(dir.path() + "/ServerConfig.xml") << RRBenchConfigXml({def}, RRBenchFreePort(def.host, &used), 1000);
  CRouterProcess router(options.routerBinary, dir.path(), logDir, def.host);
  router.setCpu(options.serverCpu);
  router.start();
  router.waitReady(def, options.startTimeoutMs);
  if (options.keepFiles) std::cerr << "rrbench: " << c.name << ": files kept in " << dir.path() << "\n";

  Side base;
  Side routed;
  auto openRouted = [&] {
    RRBenchProgress(options, c.name + ": registering " + std::to_string(c.servers) + " servers with the router");
    try {
      routed.open(def.getServer(), def.messageCenter(), c, datagrams, options.startTimeoutMs, options.clientCpu);
    } catch (const CToolException& e) {
      throw CToolException(e.kind(), std::string(e.what()) + "\n" + router.logTail());
    }
    RRBenchProgress(options, c.name + ": registered in " + RRBenchFixed(routed.registerSeconds, 2) + " s");
  };
  RRBenchProgress(options, c.name + ": registering " + std::to_string(c.servers) + " servers with the baseline");
  base.open(baseline->getServer(), baseline->messageCenter(), c, datagrams, options.startTimeoutMs,
            options.clientCpu);
  std::vector<double> ratios;
  if (figures.alternated) {
    openRouted();
    for (int r = 0; r < figures.rounds; ++r) {
      const double b = base.round(options.warmupMs, roundMs);
      const double x = routed.round(options.warmupMs, roundMs);
      RRBenchProgress(options, c.name + ": round " + std::to_string(r + 1) + ": baseline " + RRBenchFixed(b, 0) +
                            " cycles/s, router " + RRBenchFixed(x, 0) + " cycles/s");
      if (b > 0) ratios.push_back(x / b);
    }
    figures.ratio = RRBenchMedian(ratios);
  } else {
    for (int r = 0; r < figures.rounds; ++r) {
      RRBenchProgress(options, c.name + ": baseline round " + std::to_string(r + 1) + ": " +
                            RRBenchFixed(base.round(options.warmupMs, roundMs), 0) + " cycles/s");
    }
    base.close();
    baseline.reset();
    openRouted();
    for (int r = 0; r < figures.rounds; ++r) {
      RRBenchProgress(options, c.name + ": router round " + std::to_string(r + 1) + ": " +
                            RRBenchFixed(routed.round(options.warmupMs, roundMs), 0) + " cycles/s");
    }
    const double b = RRBenchMedian(base.rates);
    figures.ratio = b > 0 ? RRBenchMedian(routed.rates) / b : 0;
  }

  figures.registerSeconds = routed.registerSeconds;
  figures.baseRegisterSeconds = base.registerSeconds;
  figures.perSec = RRBenchMedian(routed.rates);
  figures.basePerSec = RRBenchMedian(base.rates);
  figures.gsP50Us = routed.getServer.percentileUs(50);
  figures.gsP90Us = routed.getServer.percentileUs(90);
  figures.baseGsP50Us = base.getServer.percentileUs(50);
  figures.cycleP50Us = routed.cycle.percentileUs(50);
  figures.cycleP90Us = routed.cycle.percentileUs(90);
  figures.baseCycleP50Us = base.cycle.percentileUs(50);
  note << sideNote("baseline", base) << sideNote("router", routed);

  // The router's view, while every server is still connected.
  try {
    CMonitorClient monitor(def.monitor(), 10000);
    figures.listed = static_cast<long long>(
        RRParseServerLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_SERVERS)), false).size());
    if (figures.listed != c.servers) note << "monitor 10 lists " << figures.listed << " of " << c.servers << "; ";
  } catch (const CToolException& e) {
    note << "monitor 10 failed: " << e.what() << "; ";
  }
  const long long hits = RRScenarioPoolHits(def.monitor());
  if (hits < 0) {
    note << "monitor 13 unreadable; ";
  } else if (static_cast<uint64_t>(hits) != routed.okTotal) {
    note << "hits " << hits << " != ok answers " << routed.okTotal << "; ";
  }
  double rss = 0;
  double peak = 0;
  if (RRBenchReadMemory(router.pid(), &rss, &peak)) {
    figures.rssMB = rss;
    figures.peakMB = peak;
  }
  const RRFarmCounters counters = routed.farm->counters();
  if (counters.unexpected + counters.closed > 0) {
    note << "farm: unexpected " << counters.unexpected << " closed " << counters.closed << "; ";
  }
  if (!figures.alternated) note << "sequential: baseline rounds first; ";
  routed.close();
  base.close();
  if (!router.running()) note << "router ended during the run; ";
  router.stop();
  figures.note = note.str();
  if (figures.note.size() >= 2) figures.note.resize(figures.note.size() - 2);
  return figures;
}

RRScaleFigures RRRunNoServerCase(const RRBenchOptions& options) {
  RRScenario scenario;
  scenario.name = "noserver";
  scenario.servers = 0;
  const RRBenchFigures f = RRRunScenario(scenario, options);
  RRScaleFigures figures;
  figures.name = scenario.name;
  figures.kind = "getserver";
  figures.servers = 0;
  figures.pools = 1;
  figures.rounds = f.rounds;
  figures.alternated = true;
  figures.perSec = f.answersPerSec;
  figures.basePerSec = f.baseAnswersPerSec;
  figures.ratio = f.ratioMedian;
  figures.gsP50Us = f.p50Us;
  figures.gsP90Us = f.p90Us;
  figures.baseGsP50Us = f.baseP50Us;
  figures.rssMB = f.rssMB;
  figures.listed = 0;
  figures.note = f.note;
  return figures;
}

std::vector<RRScaleCase> RRScaleCases(const std::vector<int>& sizes) {
  std::vector<RRScaleCase> cases;
  for (int pools : {1, 100}) {
    for (int servers : sizes) {
      RRScaleCase c;
      c.servers = servers;
      c.pools = std::min(servers, pools);
      c.name = "cycle" + std::to_string(servers) + "x" + std::to_string(c.pools);
      cases.push_back(c);
    }
  }
  return cases;
}

std::string RRScaleCsvHeader() {
  return "case,kind,servers,pools,clients,rounds,alternated,register_s,base_register_s,per_s,base_per_s,ratio,"
         "gs_p50_us,gs_p90_us,base_gs_p50_us,cycle_p50_us,cycle_p90_us,base_cycle_p50_us,rss_mb,peak_mb,listed,"
         "note\n";
}

std::string RRScaleCsvLine(const RRScaleFigures& f) {
  const std::string note = RRBenchCsvText(f.note);
  std::ostringstream os;
  os << f.name << ',' << f.kind << ',' << f.servers << ',' << f.pools << ',' << f.clients << ',' << f.rounds << ','
     << (f.alternated ? "yes" : "no") << ',' << RRBenchFixed(f.registerSeconds, 3) << ',' << RRBenchFixed(f.baseRegisterSeconds, 3)
     << ',' << RRBenchFixed(f.perSec, 0) << ',' << RRBenchFixed(f.basePerSec, 0) << ',' << RRBenchFixed(f.ratio, 3) << ','
     << RRBenchFixed(f.gsP50Us, 1) << ',' << RRBenchFixed(f.gsP90Us, 1) << ',' << RRBenchFixed(f.baseGsP50Us, 1) << ','
     << RRBenchFixed(f.cycleP50Us, 1) << ',' << RRBenchFixed(f.cycleP90Us, 1) << ',' << RRBenchFixed(f.baseCycleP50Us, 1) << ','
     << (f.rssMB < 0 ? "" : RRBenchFixed(f.rssMB, 1)) << ',' << (f.peakMB < 0 ? "" : RRBenchFixed(f.peakMB, 1)) << ','
     << (f.listed < 0 ? "" : std::to_string(f.listed)) << ',' << note << '\n';
  return os.str();
}

std::string RRScaleTable(const std::vector<RRScaleFigures>& all) {
  CTextTable table({{"CASE", false},
                    {"SERVERS", true},
                    {"POOLS", true},
                    {"ALT", false},
                    {"REG_S", true},
                    {"RATE/S", true},
                    {"BASE/S", true},
                    {"RATIO", true},
                    {"GS_P50", true},
                    {"BASE_GS_P50", true},
                    {"CYC_P50", true},
                    {"BASE_CYC_P50", true},
                    {"RSS_MB", true},
                    {"LISTED", true},
                    {"NOTE", false}});
  for (const RRScaleFigures& f : all) {
    const bool cycle = f.kind == "cycle";
    table.addRow({f.name, std::to_string(f.servers), std::to_string(f.pools), f.alternated ? "yes" : "no",
                  cycle ? RRBenchFixed(f.registerSeconds, 2) : "-", RRBenchFixed(f.perSec, 0), RRBenchFixed(f.basePerSec, 0),
                  RRBenchFixed(f.ratio, 2), RRBenchFixed(f.gsP50Us, 1), RRBenchFixed(f.baseGsP50Us, 1),
                  cycle ? RRBenchFixed(f.cycleP50Us, 1) : "-", cycle ? RRBenchFixed(f.baseCycleP50Us, 1) : "-",
                  f.rssMB < 0 ? "-" : RRBenchFixed(f.rssMB, 1), f.listed < 0 ? "-" : std::to_string(f.listed), f.note});
  }
  return table.render("(no results)");
}

std::string RRScaleVerdicts(const std::vector<RRScaleFigures>& all) {
  std::ostringstream out;
  auto verdict = [&](const std::string& what, bool met, const std::string& measured) {
    out << (met ? "met     " : "MISSED  ") << what << ": " << measured << "\n";
  };
  const RRScaleFigures* gs10 = nullptr;
  const RRScaleFigures* gs5000 = nullptr;
  for (const RRScaleFigures& f : all) {
    if (f.kind == "getserver") {
      verdict("get-server without a server >= 0.9 x UDP echo", f.ratio >= 0.9, RRBenchFixed(f.ratio, 2));
      continue;
    }
    const std::string layout = std::to_string(f.servers) + " servers in " + std::to_string(f.pools) + " pool" +
                               (f.pools == 1 ? "" : "s");
    double target = 0;
    if (f.servers == 10) target = 0.85;
    if (f.servers == 900) target = 0.8;
    if (f.servers == 5000) target = 0.7;
    if (target > 0) {
      verdict("full cycle >= " + RRBenchFixed(target, 2) + " x baseline, " + layout, f.ratio >= target, RRBenchFixed(f.ratio, 2));
    }
    if (f.servers == 10000) {
      verdict("monitor 10 lists all servers, " + layout, f.listed == f.servers, std::to_string(f.listed));
    }
    if (f.servers == 5000) {
      verdict("router RSS < 100 MB, " + layout, f.rssMB >= 0 && f.rssMB < 100, RRBenchFixed(f.rssMB, 1) + " MB");
    }
    if (f.pools == 1 && f.servers == 10) gs10 = &f;
    if (f.pools == 1 && f.servers == 5000) gs5000 = &f;
  }
  if (gs10 != nullptr && gs5000 != nullptr && gs10->gsP50Us > 0) {
    const double factor = gs5000->gsP50Us / gs10->gsP50Us;
    // The two cases run at different times; each one's baseline p50 shows how far the machine's pace moved.
    std::string relative;
    if (gs10->baseGsP50Us > 0 && gs5000->baseGsP50Us > 0) {
      relative = " (each relative to its own baseline p50: " +
                 RRBenchFixed((gs5000->gsP50Us / gs5000->baseGsP50Us) / (gs10->gsP50Us / gs10->baseGsP50Us), 2) + ")";
    }
    verdict("get-server p50, 5000 servers in one pool <= 2 x that with 10", factor <= 2.0,
            RRBenchFixed(gs5000->gsP50Us, 1) + " / " + RRBenchFixed(gs10->gsP50Us, 1) + " us = " + RRBenchFixed(factor, 2) + relative);
  }
  return out.str();
}
