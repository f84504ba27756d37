/* rrsoak.cpp - long-running churn test of the release router: the load and the run's course.
 *
 * Starts a router and a peer router from one scratch configuration, then for
 * the given time runs application servers that come and go, get-server
 * clients with limits, monitor pollers, garbage on every port and a restart
 * of the peer router every minute. Every sample interval it records the
 * router's RSS, descriptors and threads (table on standard output, CSV
 * file). At the end it removes the load and checks: no malformed answer,
 * pool and server hits equal to what the clients received, memory flat after
 * the warm-up, descriptors and threads back at their figures before the
 * load. Exit status 0 when every check passed, 1 when one failed, 2 for a
 * usage error. The samples, table, CSV and plot are BenchSoakSamples; the
 * memory and descriptor rules BenchSoakRules; the fault list and the map of
 * server ports to farms BenchSoakLedger.
 */
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchAppServerFarm.h"
#include "BenchRouterProcess.h"
#include "BenchSoakLedger.h"
#include "BenchSoakRules.h"
#include "BenchSoakSamples.h"
#include "KTUtils.h"
#include "RRGetServer.h"
#include "RRMCProtocol.h"
#include "RRMonitorClient.h"
#include "RRMonitorLines.h"
#include "RRToolException.h"
#include "RRToolSocket.h"

#ifndef RRBENCH_DEFAULT_ROUTER
#define RRBENCH_DEFAULT_ROUTER ""
#endif

namespace {

const char* const kUsage =
    "usage: rrsoak [options]\n"
    "  --seconds S        length of the load (default 600)\n"
    "  --sample S         seconds between samples (default 10)\n"
    "  --csv FILE         samples as CSV (default soak.csv in the current directory)\n"
    "  --plot FILE        also write an SVG plot of RSS, descriptors and threads\n"
    "  --plot-only CSV    write the plot of an existing CSV to --plot FILE and exit\n"
    "  --router-bin PATH  router binary (default: the one built with rrsoak)\n"
    "  --clients N        get-server clients (default 3)\n"
    "  --peer-restart S   seconds between restarts of the peer router (default 60; half\n"
    "                     the run when it is shorter than two minutes)\n"
    "  --keep             keep the scratch directory (configuration and logs)\n";

const char* const kPool = "BenchPool";
constexpr int kStableServers = 4;   /* registered for the whole run, checked hit by hit */
constexpr int kChurnSlots = 3;      /* farms that come and go */
constexpr int kChurnSize = 4;       /* servers per churn farm */
constexpr int kPeerServers = 2;     /* servers of the peer router, re-registered after each restart */
constexpr int kAnswerWaitMs = 3000;
constexpr int kAnnounceGapMs = 1500; /* between pool announcements of the two routers */

using Clock = std::chrono::steady_clock;

std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

/* Sleeps up to ms, in short steps, returning early when the run is stopped. */
void nap(int ms, const std::atomic<bool>& stop) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (!stop.load() && !gStop.load() && Clock::now() < end) SleepMilliseconds(std::min(ms, 50));
}

struct Counters {
  std::atomic<uint64_t> requests{0}, ok{0}, tryLater{0}, abort{0}, timeoutAnswers{0}, errors{0}, lost{0};
  std::atomic<uint64_t> registrations{0}, farms{0}, peerRestarts{0}, monitorRequests{0}, garbage{0};
  std::atomic<uint64_t> cacheSent{0}, cacheReceived{0}, cycles{0};
};

struct Options {
  int seconds = 600;
  int sampleSeconds = 10;
  int clients = 3;
  int peerRestartSeconds = 0; /* 0: the default */
  std::string csv = "soak.csv";
  std::string plot;
  std::string plotOnly;
  std::string router = RRBENCH_DEFAULT_ROUTER;
  bool keep = false;
};

/* The datagrams of the clients: 16 client addresses, 4 sites, 4 extensions, with
 * limits per client, site and extension; one in four is a last attempt. */
std::vector<std::string> makeDatagrams() {
  static const char* const extensions[] = {"html", "jsp", "do", "json"};
  std::vector<std::string> datagrams;
  for (int client = 0; client < 16; ++client) {
    for (int site = 0; site < 4; ++site) {
      const int e = (client + site) % 4;
      const std::string uri = "/soak/page" + std::to_string(site) + "." + extensions[e];
      CASRequestInfo info("soak" + std::to_string(site), uri, "10.7.0." + std::to_string(client + 1),
                          client % 4 == 3 ? 2 : 0, 3);
      info.poolName = kPool;
      info.storeName = "Store" + std::to_string(site);
      info.siteGUID = "site-" + std::to_string(site);
      info.poolMaxServersPerClient = 3;
      info.poolMaxServersPerSite = 5;
      info.extMaxServers = 6;
      if (site == 3) info.siteMaxServers = 2;
      datagrams.push_back(RRGetServerDatagram(info));
    }
  }
  return datagrams;
}

class CSoak {
 public:
  explicit CSoak(const Options& options) : mOptions(options) {}
  int run();

 private:
  void clientLoop(int id);
  void churnLoop();
  void monitorLoop();
  void garbageLoop();
  void peerLoop();
  /* Registers a farm of count servers with the router; nullptr (fault recorded) on failure. */
  std::unique_ptr<CAppServerFarm> startFarm(const RRBenchRouterDef& router, int routerIndex, int count,
                                            bool directory, std::vector<uint16_t>* pPorts);
  void stopFarm(std::unique_ptr<CAppServerFarm>* pFarm, const std::vector<uint16_t>& ports, bool directory);
  RRSoakSample sample(Clock::time_point start);
  uint16_t nextPort(bool peer);
  /* The scratch configuration with free ports; both routers started and answering. */
  void startRouters(const CBenchDir& dir);
  /* The figures before the load, taken once descriptors and threads hold still. */
  RRSoakSample baseline();
  /* Runs the load for the whole time, one sample per interval; false when the router ended. */
  bool runLoad(Clock::time_point start, std::ofstream& csv, std::vector<RRSoakSample>* pSamples);
  /* Compares the router's pool and stable-server hits with the clients' OK answers. */
  void checkHits(std::vector<std::string>* pFailures);
  /* Waits up to 30 s for descriptors and threads to come back to base; the last sample. */
  RRSoakSample settle(Clock::time_point start, const RRSoakSample& base, std::vector<std::string>* pFailures);
  void printTotals(const RRSoakSample& base, const RRSoakSample& end, const RRSoakMemoryVerdict& memory) const;

  Options mOptions;
  RRBenchRouterDef mMain, mPeer;
  std::unique_ptr<CRouterProcess> mMainProcess, mPeerProcess;
  std::mutex mPeerLock; /* the peer process and its farm */
  Counters mCounters;
  CSoakFaults mFaults;
  CSoakFarmDirectory mDirectory;
  std::vector<std::string> mDatagrams;
  std::atomic<bool> mLoadStop{false};
  std::mutex mPortLock;
  uint16_t mNextPort = 20000, mNextPeerPort = 50000;
  std::unique_ptr<CAppServerFarm> mPeerFarm;
  std::vector<uint16_t> mPeerPorts;
  int mPeerRestartSeconds = 60;
  std::unique_ptr<CAppServerFarm> mStable; /* registered for the whole load */
  std::vector<uint16_t> mStablePorts;
  std::vector<std::string> mBaseFds;
  uint64_t mPoolHits = 0, mStableHits = 0, mStableOk = 0;
  double mSettledSeconds = 0;
};

uint16_t CSoak::nextPort(bool peer) {
  std::lock_guard<std::mutex> guard(mPortLock);
  if (peer) {
    if (mNextPeerPort >= 65000) mNextPeerPort = 50000;
    return mNextPeerPort++;
  }
  if (mNextPort >= 49000) mNextPort = 20000 + kStableServers;  // the stable servers keep theirs
  return mNextPort++;
}

std::unique_ptr<CAppServerFarm> CSoak::startFarm(const RRBenchRouterDef& router, int routerIndex, int count,
                                                 bool directory, std::vector<uint16_t>* pPorts) {
  std::vector<RRBenchServerDef> defs;
  pPorts->clear();
  for (int i = 0; i < count; ++i) {
    RRBenchServerDef def;
    def.messageCenter = router.messageCenter();
    def.router = routerIndex;
    def.pool = kPool;
    def.port = nextPort(routerIndex != 0);
    pPorts->push_back(def.port);
    defs.push_back(def);
  }
  RRFarmOptions options;
  options.serviceMs = 20;
  options.cacheItemsPerIdle = 2;
  options.batch = count;
  std::unique_ptr<CAppServerFarm> farm(new CAppServerFarm(defs, options));
  if (directory) mDirectory.announce(*pPorts);
  try {
    farm->start(5000);
  } catch (const CToolException& e) {
    mFaults.add("registration failed", std::string(e.what()) + " (router " + router.name + ")");
    if (directory) mDirectory.detach(*pPorts);
    return nullptr;
  }
  if (directory) mDirectory.attach(*pPorts, farm.get());
  mCounters.registrations += static_cast<uint64_t>(count);
  mCounters.farms += 1;
  return farm;
}

void CSoak::stopFarm(std::unique_ptr<CAppServerFarm>* pFarm, const std::vector<uint16_t>& ports, bool directory) {
  if (!*pFarm) return;
  if (directory) mDirectory.detach(ports);
  (*pFarm)->stop();
  const RRFarmCounters c = (*pFarm)->counters();
  mCounters.cacheSent += c.cacheItemsSent;
  mCounters.cacheReceived += c.cacheItemsReceived;
  mCounters.cycles += c.cycles;
  // A server assigned by the router while its farm was registering or
  // stopping is legal; replies the farm could not use are not.
  if (c.unexpected > 0) {
    mFaults.add("message-center reply unexpected or malformed",
                std::to_string(c.unexpected) + " in a farm of " + std::to_string(ports.size()) + " servers");
  }
  pFarm->reset();
}

void CSoak::clientLoop(int id) {
  std::mt19937 random(static_cast<unsigned>(id * 7919 + 1));
  CToolSocket udp;
  try {
    udp = CToolSocket::connectUdp(mMain.getServer());
  } catch (const CToolException& e) {
    mFaults.add("client socket", e.what());
    return;
  }
  std::size_t next = static_cast<std::size_t>(id) * 13;
  while (!mLoadStop.load()) {
    const std::string& datagram = mDatagrams[next++ % mDatagrams.size()];
    std::string reply;
    try {
      udp.sendAll(datagram);
      mCounters.requests += 1;
      reply = udp.receiveDatagram(kAnswerWaitMs);
    } catch (const CToolException& e) {
      // A lost answer breaks the count of hits: it is a fault of its own.
      mCounters.lost += 1;
      mFaults.add("get-server answer lost", e.what());
      continue;
    }
    try {
      const RRGetServerAnswer answer = RRParseGetServerAnswer(reply);
      switch (answer.code) {
        case RR_RESPONSE_OK:
          mCounters.ok += 1;
          if (answer.host != mMain.host) {
            mFaults.add("get-server answer names a foreign host", RRPrintable(reply));
          }
          if (!mDirectory.assign(answer.port)) {
            mFaults.add("get-server answer names a server that never registered here", RRPrintable(reply));
          }
          break;
        case RR_RESPONSE_TRYLATER: mCounters.tryLater += 1; break;
        case RR_RESPONSE_ABORT: mCounters.abort += 1; break;
        case RR_RESPONSE_TIMEOUT: mCounters.timeoutAnswers += 1; break;
        case RR_RESPONSE_ERROR:
          mCounters.errors += 1;
          mFaults.add("get-server error answer to a valid request", RRPrintable(reply));
          break;
      }
    } catch (const CToolException& e) {
      mFaults.add("malformed get-server answer", e.what());
    }
    nap(2 + static_cast<int>(random() % 6), mLoadStop);
  }
}

void CSoak::churnLoop() {
  std::mt19937 random(4242);
  struct Slot {
    std::unique_ptr<CAppServerFarm> farm;
    std::vector<uint16_t> ports;
    Clock::time_point until;
  };
  Slot slots[kChurnSlots];
  while (!mLoadStop.load()) {
    for (Slot& slot : slots) {
      if (mLoadStop.load()) break;
      if (slot.farm && Clock::now() < slot.until) continue;
      stopFarm(&slot.farm, slot.ports, true);
      slot.farm = startFarm(mMain, 0, kChurnSize, true, &slot.ports);
      slot.until = Clock::now() + std::chrono::milliseconds(1500 + random() % 4500);
    }
    nap(100, mLoadStop);
  }
  for (Slot& slot : slots) stopFarm(&slot.farm, slot.ports, true);
}

void CSoak::monitorLoop() {
  uint64_t round = 0;
  while (!mLoadStop.load()) {
    ++round;
    try {
      CMonitorClient monitor(mMain.monitor(), 3000);
      RRParseServerLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_SERVERS)), false);
      RRParseServerLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_DEBUG)), true);
      RRParsePeerLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_MCSERVERS)));
      RRParsePoolLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_POOLS)));
      mCounters.monitorRequests += 4;
    } catch (const CToolException& e) {
      mFaults.add("malformed or missing monitor answer", e.what());
    }
    if (round % 5 == 0) {
      // Requests that are refused by closing the connection: a reset of a
      // pool that does not exist (never ours, so our hits stay), the
      // obsolete code 16, and an unknown code.
      for (const char* line : {"14 0 NoSuchSoakPool", "16", "17"}) {
        try {
          CMonitorClient monitor(mMain.monitor(), 3000);
          mCounters.monitorRequests += 1;
          const std::string body = monitor.request(line);
          mFaults.add("monitor answered a request it must refuse", std::string("'") + line + "' got " + RRPrintable(body));
        } catch (const CToolException& e) {
          if (e.kind() != CToolException::TOOL_CLOSED) {
            mFaults.add("monitor refusal not a closed connection", std::string("'") + line + "': " + e.what());
          }
        }
      }
    }
    nap(250, mLoadStop);
  }
}

void CSoak::garbageLoop() {
  std::mt19937 random(777);
  uint64_t round = 0;
  while (!mLoadStop.load()) {
    ++round;
    // Datagrams no valid request can be mistaken for: only an answer that
    // follows the protocol (or none) is right.
    std::string datagram;
    switch (round % 6) {
      case 0: datagram = "garbage"; break;
      case 1: datagram = "1"; break;
      case 2: datagram = "1 x y z"; break;
      case 3: datagram = std::string(1500, 'A'); break;
      case 4: datagram = "7 1 2 3"; break;
      default:
        datagram = "#";
        for (int i = 0; i < 40; ++i) datagram += static_cast<char>(random() % 256);
        break;
    }
    try {
      CToolSocket udp = CToolSocket::connectUdp(mMain.getServer());
      udp.sendAll(datagram);
      mCounters.garbage += 1;
      try {
        RRParseGetServerAnswer(udp.receiveDatagram(300));
      } catch (const CToolException& e) {
        if (e.kind() == CToolException::TOOL_PROTOCOL) mFaults.add("malformed answer to a garbage datagram", e.what());
      }
    } catch (const CToolException& e) {
      mFaults.add("garbage datagram not sent", e.what());
    }
    // Message-center garbage: headers that are not numbers, lengths over the
    // limit, truncated messages, binary noise; never a code the router acts on.
    std::string message;
    switch (round % 5) {
      case 0: message = "hello router\n"; break;
      case 1: message = "3 99999999999\n"; break;
      case 2: message = "4 10\nshort"; break;
      case 3: message = std::string(200, 'x'); break;
      default:
        message = "#";
        for (int i = 0; i < 64; ++i) message += static_cast<char>(random() % 256);
        break;
    }
    try {
      CToolSocket mc = CToolSocket::connectTcp(mMain.messageCenter(), 3000);
      mc.sendAll(message);
      mCounters.garbage += 1;
      CMCReplyReader reader;
      std::string text;
      try {
        for (;;) {
          text = mc.receiveExact(1, 300);
          reader.feed(text.data(), text.size());
          RRMCReply reply;
          while (reader.next(&reply)) {
          }
        }
      } catch (const CToolException& e) {
        if (e.kind() == CToolException::TOOL_PROTOCOL) {
          mFaults.add("malformed message-center reply to garbage", e.what());
        }
      }
    } catch (const CToolException& e) {
      mFaults.add("message center not reachable", e.what());
    }
    nap(150, mLoadStop);
  }
}

void CSoak::peerLoop() {
  auto last = Clock::now();
  while (!mLoadStop.load()) {
    nap(200, mLoadStop);
    if (mLoadStop.load() || secondsSince(last) < mPeerRestartSeconds) continue;
    last = Clock::now();
    std::lock_guard<std::mutex> guard(mPeerLock);
    stopFarm(&mPeerFarm, mPeerPorts, false);
    mPeerProcess->stop();
    try {
      mPeerProcess->start();
      mPeerProcess->waitReady(mPeer, 15000);
      mCounters.peerRestarts += 1;
    } catch (const CToolException& e) {
      mFaults.add("peer router restart failed", e.what());
      continue;
    }
    mPeerFarm = startFarm(mPeer, 1, kPeerServers, false, &mPeerPorts);
  }
}

RRSoakSample CSoak::sample(Clock::time_point start) {
  RRSoakSample s;
  s.seconds = secondsSince(start);
  RRSoakReadProcess(mMainProcess->pid(), &s);
  s.requests = mCounters.requests;
  s.ok = mCounters.ok;
  s.registrations = mCounters.registrations;
  s.peerRestarts = mCounters.peerRestarts;
  s.monitor = mCounters.monitorRequests;
  s.garbage = mCounters.garbage;
  s.faults = mFaults.total();
  return s;
}

void CSoak::startRouters(const CBenchDir& dir) {
  const std::string logDir = dir.path() + "/log";
  mkdir(logDir.c_str(), 0755);
  std::set<uint16_t> used;
  mMain.name = "RR1";
  mMain.host = "127.0.0.1";
  mPeer.name = "RR2";
  mPeer.host = "127.0.0.2";
  for (RRBenchRouterDef* def : {&mMain, &mPeer}) {
    def->port = RRBenchFreePort(def->host, &used);
    def->mcPort = RRBenchFreePort(def->host, &used);
    def->monitorPort = RRBenchFreePort(def->host, &used);
  }
  const uint16_t cachePort = RRBenchFreePort("127.0.0.1", &used);
  std::ofstream(dir.path() + "/ServerConfig.xml") << RRBenchConfigXml({mMain, mPeer}, cachePort, 1000);
  std::printf("soak: %d s of load, a sample every %d s; configuration and logs in %s%s\n", mOptions.seconds,
              mOptions.sampleSeconds, dir.path().c_str(), mOptions.keep ? " (kept)" : " (removed at the end)");
  mMainProcess.reset(new CRouterProcess(mOptions.router, dir.path(), logDir, mMain.host));
  mPeerProcess.reset(new CRouterProcess(mOptions.router, dir.path(), logDir, mPeer.host));
  mMainProcess->start();
  mPeerProcess->start();
  mMainProcess->waitReady(mMain, 15000);
  mPeerProcess->waitReady(mPeer, 15000);
}

RRSoakSample CSoak::baseline() {
  // The peer links up both ways, as they are after the load: each router
  // links to the other when its pool gains its first server or loses its
  // last one, so one server registers with each router and leaves again,
  // the same as the load ends. One router at a time, with a pause after
  // each step, so that every announcement has arrived before the figures
  // are taken.
  {
    std::vector<uint16_t> mainPorts, peerPorts;
    std::unique_ptr<CAppServerFarm> mainFarm = startFarm(mMain, 0, 1, true, &mainPorts);
    SleepMilliseconds(kAnnounceGapMs);
    std::unique_ptr<CAppServerFarm> peerFarm = startFarm(mPeer, 1, 1, false, &peerPorts);
    SleepMilliseconds(kAnnounceGapMs);
    stopFarm(&mainFarm, mainPorts, true);
    SleepMilliseconds(kAnnounceGapMs);
    stopFarm(&peerFarm, peerPorts, false);
  }
  // Then descriptors and threads must hold still for 3 s.
  RRSoakSample previous;
  int still = 0;
  for (int i = 0; i < 60 && still < 6 && !gStop.load(); ++i) {
    SleepMilliseconds(500);
    RRSoakSample now;
    RRSoakReadProcess(mMainProcess->pid(), &now);
    still = (now.fds == previous.fds && now.threads == previous.threads) ? still + 1 : 0;
    previous = now;
  }
  return previous;
}

bool CSoak::runLoad(Clock::time_point start, std::ofstream& csv, std::vector<RRSoakSample>* pSamples) {
  mStable = startFarm(mMain, 0, kStableServers, true, &mStablePorts);
  {
    std::lock_guard<std::mutex> guard(mPeerLock);
    mPeerFarm = startFarm(mPeer, 1, kPeerServers, false, &mPeerPorts);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < mOptions.clients; ++i) threads.emplace_back([this, i] { clientLoop(i); });
  threads.emplace_back([this] { churnLoop(); });
  threads.emplace_back([this] { monitorLoop(); });
  threads.emplace_back([this] { garbageLoop(); });
  threads.emplace_back([this] { peerLoop(); });

  bool routerEnded = false;
  for (int k = 1; k * mOptions.sampleSeconds <= mOptions.seconds && !gStop.load(); ++k) {
    while (!gStop.load() && secondsSince(start) < k * mOptions.sampleSeconds) SleepMilliseconds(50);
    if (!mMainProcess->running()) {
      routerEnded = true;
      break;
    }
    RRSoakSample s = sample(start);
    pSamples->push_back(s);
    csv << RRSoakCsvRow(s) << "\n" << std::flush;
    RRSoakPrintRow(s);
  }
  mLoadStop = true;
  for (std::thread& t : threads) t.join();
  return !routerEnded;
}

void CSoak::checkHits(std::vector<std::string>* pFailures) {
  // Pool hits count every OK answer of the pool (only our clients ask the
  // main router, the readiness probe asks for a pool without servers,
  // nothing here resets it); a server's hits count its OK answers since it
  // registered, so the servers that stayed the whole run are compared one by one.
  try {
    CMonitorClient monitor(mMain.monitor(), 5000);
    bool found = false;
    for (const RRPoolLine& line : RRParsePoolLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_POOLS)))) {
      if (line.name == kPool) {
        mPoolHits = static_cast<uint64_t>(line.values[RR_POOL_HITS]);
        found = true;
      }
    }
    if (!found) pFailures->push_back(std::string("hits: the router shows no pool ") + kPool);
    const std::vector<RRServerLine> lines =
        RRParseServerLines(monitor.request(CMonitorClient::requestLine(MONITOR_GET_SERVERS)), false);
    for (uint16_t port : mStablePorts) {
      bool listed = false;
      for (const RRServerLine& line : lines) {
        if (line.pool == kPool && line.port == port) {
          listed = true;
          mStableHits += static_cast<uint64_t>(line.hits);
          if (static_cast<uint64_t>(line.hits) != mDirectory.okFor(port)) {
            pFailures->push_back("hits: server " + line.host + ":" + std::to_string(port) + " shows " +
                                 std::to_string(line.hits) + " hits, the clients got it " +
                                 std::to_string(mDirectory.okFor(port)) + " times");
          }
        }
      }
      mStableOk += mDirectory.okFor(port);
      if (!listed && mStable) pFailures->push_back("hits: server on port " + std::to_string(port) + " not listed");
    }
    // The pool count is a 32-bit field on the monitor line.
    const uint64_t ok = mCounters.ok.load() & 0xffffffffu;
    if (mPoolHits != ok) {
      pFailures->push_back("hits: pool " + std::string(kPool) + " shows " + std::to_string(mPoolHits) +
                           " hits, the clients got " + std::to_string(ok) + " OK answers");
    }
  } catch (const CToolException& e) {
    pFailures->push_back(std::string("hits: monitor failed: ") + e.what());
  }
}

RRSoakSample CSoak::settle(Clock::time_point start, const RRSoakSample& base, std::vector<std::string>* pFailures) {
  const std::vector<std::string> baseFds = mBaseFds;
  RRSoakSample end;
  const auto settleStart = Clock::now();
  const int settleSeconds = 30;
  do {
    SleepMilliseconds(500);
    end = sample(start);
  } while (!gStop.load() && (end.fds != base.fds || end.threads != base.threads) &&
           secondsSince(settleStart) < settleSeconds);
  mSettledSeconds = secondsSince(settleStart);
  if (end.fds != base.fds) {
    pFailures->push_back("descriptors: " + std::to_string(base.fds) + " before the load, " +
                         std::to_string(end.fds) + " " + std::to_string(settleSeconds) + " s after it ended" +
                         RRSoakDescriptorDiff(baseFds, RRSoakListDescriptors(mMainProcess->pid())));
  }
  if (end.threads != base.threads) {
    pFailures->push_back("threads: " + std::to_string(base.threads) + " before the load, " +
                         std::to_string(end.threads) + " " + std::to_string(settleSeconds) + " s after it ended");
  }
  return end;
}

void CSoak::printTotals(const RRSoakSample& base, const RRSoakSample& end, const RRSoakMemoryVerdict& memory) const {
  auto n = [](const std::atomic<uint64_t>& v) { return static_cast<unsigned long long>(v.load()); };
  std::printf("soak: totals: %llu get-server requests, %llu OK, %llu try later, %llu limit refusals, "
              "%llu last-attempt refusals, %llu errors, %llu lost; %llu registrations in %llu farms, "
              "%llu work cycles, %llu cache items sent, %llu received; %llu monitor requests, "
              "%llu garbage messages, %llu peer restarts\n",
              n(mCounters.requests), n(mCounters.ok), n(mCounters.tryLater), n(mCounters.abort),
              n(mCounters.timeoutAnswers), n(mCounters.errors), n(mCounters.lost), n(mCounters.registrations),
              n(mCounters.farms), n(mCounters.cycles), n(mCounters.cacheSent), n(mCounters.cacheReceived),
              n(mCounters.monitorRequests), n(mCounters.garbage), n(mCounters.peerRestarts));
  std::printf("soak: hits: pool %llu, clients' OK answers %llu; stable servers %llu, their OK answers %llu\n",
              static_cast<unsigned long long>(mPoolHits), n(mCounters.ok),
              static_cast<unsigned long long>(mStableHits), static_cast<unsigned long long>(mStableOk));
  std::printf("soak: RSS %ld kB before the load, %ld kB after the warm-up, %ld kB at the end of the load "
              "(allowed up to %ld kB), highest sample %ld kB, %ld kB after the load; descriptors %ld -> %ld, "
              "threads %ld -> %ld (settled in %.1f s)\n",
              base.rssKb, memory.reference, memory.level, memory.reference + memory.allowed, memory.maxRss,
              end.rssKb, base.fds, end.fds, base.threads, end.threads, mSettledSeconds);
}

int CSoak::run() {
  CBenchDir dir;
  if (mOptions.keep) dir.keep();
  startRouters(dir);
  mDatagrams = makeDatagrams();
  // A run shorter than two minutes still sees a peer restart, halfway.
  mPeerRestartSeconds = mOptions.seconds < 120 ? std::max(1, mOptions.seconds / 2) : 60;
  if (mOptions.peerRestartSeconds > 0) mPeerRestartSeconds = mOptions.peerRestartSeconds;
  const int warmup = std::min(60, mOptions.seconds / 5);

  const RRSoakSample base = baseline();
  mBaseFds = RRSoakListDescriptors(mMainProcess->pid());
  std::printf("soak: before the load: RSS %ld kB, %ld descriptors, %ld threads; warm-up %d s; "
              "peer restart every %d s\n", base.rssKb, base.fds, base.threads, warmup, mPeerRestartSeconds);

  std::ofstream csv(mOptions.csv);
  if (!csv) {
    std::fprintf(stderr, "rrsoak: cannot write %s\n", mOptions.csv.c_str());
    return 2;
  }
  csv << kSoakCsvHeader << "\n";
  std::printf("soak: CSV %s\n", mOptions.csv.c_str());
  RRSoakPrintHeader();

  const auto start = Clock::now();
  std::vector<RRSoakSample> samples;
  RRSoakSample first = base;
  first.seconds = 0;
  samples.push_back(first);
  csv << RRSoakCsvRow(first) << "\n" << std::flush;
  RRSoakPrintRow(first);

  const bool routerRan = runLoad(start, csv, &samples);
  std::printf("soak: load ended; checking hits, then waiting for descriptors and threads (last row)\n");

  std::vector<std::string> failures;
  if (gStop.load()) failures.push_back("interrupted");
  if (!routerRan || !mMainProcess->running()) {
    failures.push_back("the router ended during the run\n" + mMainProcess->logTail());
  }
  if (failures.empty()) checkHits(&failures);
  if (!mStable) failures.push_back("the stable servers could not register");
  stopFarm(&mStable, mStablePorts, true);
  SleepMilliseconds(kAnnounceGapMs);
  {
    std::lock_guard<std::mutex> guard(mPeerLock);
    stopFarm(&mPeerFarm, mPeerPorts, false);
  }

  const RRSoakSample end = settle(start, base, &failures);
  samples.push_back(end);
  csv << RRSoakCsvRow(end) << "\n" << std::flush;
  RRSoakPrintRow(end);

  const RRSoakMemoryVerdict memory = RRSoakCheckMemory(samples, warmup, mOptions.seconds);
  if (!memory.pass) failures.push_back(memory.failure);
  for (const std::string& fault : mFaults.report()) failures.push_back("answers: " + fault);

  printTotals(base, end, memory);
  if (!mOptions.plot.empty()) {
    std::string error;
    if (RRSoakWritePlot(samples, mOptions.plot, &error)) {
      std::printf("soak: plot %s\n", mOptions.plot.c_str());
    } else {
      std::fprintf(stderr, "rrsoak: no plot: %s\n", error.c_str());
    }
  }
  mPeerProcess->stop();
  const int status = mMainProcess->stop();
  if (failures.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0) &&
      !(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM)) {
    failures.push_back("the router did not stop cleanly (wait status " + std::to_string(status) + ")");
  }
  if (!failures.empty()) {
    for (const std::string& f : failures) std::printf("soak: FAIL %s\n", f.c_str());
    if (!mOptions.keep) {
      dir.keep();
      std::printf("soak: configuration and logs kept in %s\n", dir.path().c_str());
    }
    return 1;
  }
  std::printf("soak: PASS\n");
  return 0;
}

bool parseNumber(const char* text, int* pValue) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v <= 0 || v > 1000000) return false;
  *pValue = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--seconds" && hasValue && parseNumber(argv[i + 1], &options.seconds)) {
      ++i;
    } else if (arg == "--sample" && hasValue && parseNumber(argv[i + 1], &options.sampleSeconds)) {
      ++i;
    } else if (arg == "--peer-restart" && hasValue && parseNumber(argv[i + 1], &options.peerRestartSeconds)) {
      ++i;
    } else if (arg == "--clients" && hasValue && parseNumber(argv[i + 1], &options.clients)) {
      ++i;
    } else if (arg == "--csv" && hasValue) {
      options.csv = argv[++i];
    } else if (arg == "--plot" && hasValue) {
      options.plot = argv[++i];
    } else if (arg == "--plot-only" && hasValue) {
      options.plotOnly = argv[++i];
    } else if (arg == "--router-bin" && hasValue) {
      options.router = argv[++i];
    } else if (arg == "--keep") {
      options.keep = true;
    } else {
      std::cerr << "rrsoak: bad argument '" << arg << "'\n" << kUsage;
      return 2;
    }
  }
  if (!options.plotOnly.empty()) {
    std::string error;
    if (options.plot.empty() || !RRSoakWritePlot(RRSoakReadCsv(options.plotOnly), options.plot, &error)) {
      std::cerr << "rrsoak: no plot: " << (options.plot.empty() ? "--plot FILE missing" : error) << "\n";
      return 2;
    }
    return 0;
  }
  if (options.router.empty()) {
    std::cerr << "rrsoak: no router binary (--router-bin PATH)\n";
    return 2;
  }
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  try {
    CSoak soak(options);
    return soak.run();
  } catch (const CException& e) {
    std::fprintf(stderr, "rrsoak: %s\n", e.what());
    return 1;
  }
}
