/* BenchLoad.h - get-server clients and the bare UDP echo baseline of the benchmark.
 *
 * A CGetServerClients group runs W threads; each keeps exactly one request
 * in flight against its target (send a datagram, wait for the answer, send
 * the next), takes its datagrams round-robin from a prepared list, records
 * the round-trip time of every answer after the warm-up and counts the
 * answers by kind. An OK answer is passed on to the application-server farm
 * so that the assigned server starts its work. CEchoServer answers every
 * datagram at once with a fixed "0 host port" text: the same client against
 * it measures what the machine and the loopback path cost without any
 * router logic.
 *
 * Thread safety: run() is called from one thread; the farm must accept
 * assign() from the client threads.
 */
#ifndef BENCHLOAD_H
#define BENCHLOAD_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "BenchStats.h"
#include "RRToolAddress.h"

class CAppServerFarm;

struct RRClientResult {
  RRAnswerCounts counts;       /* answers after the warm-up */
  CLatencySamples latencies;   /* round trips after the warm-up */
  uint64_t okTotal = 0;        /* OK answers including the warm-up */
  uint64_t stalls = 0;         /* paced: cycles that did not complete within the wait */
  double seconds = 0;          /* measured time (after the warm-up) */
};

class CGetServerClients {
 public:
  /* targets[i % targets.size()] is the router of client i. */
  /* With paced set, a client that got a server waits until that server has
   * completed its cycle before it sends the next request, so that every
   * request finds an idle server and the round trip measures the
   * selection; otherwise the next request follows the answer at once. */
  CGetServerClients(std::vector<RRToolAddress> targets, int clients, std::vector<std::string> datagrams,
                    CAppServerFarm* farm, bool paced = false);
  /* Runs every client for warmupMs + durationMs and merges their results;
   * lost answers wait waitMs. Throws CToolException when a socket cannot be
   * created. */
  RRClientResult run(int warmupMs, int durationMs, int waitMs = 1000);
  /* OK answers per target over the whole run (warm-up included). */
  const std::vector<uint64_t>& okPerTarget() const { return mOkPerTarget; }

 private:
  std::vector<RRToolAddress> mTargets;
  int mClients;
  std::vector<std::string> mDatagrams;
  CAppServerFarm* mFarm;
  bool mPaced;
  std::vector<uint64_t> mOkPerTarget;
};

/* What full-cycle clients measured in one run. */
struct RRCycleResult {
  uint64_t cycles = 0;         /* complete cycles after the warm-up */
  uint64_t failed = 0;         /* OK answers whose cycle failed (refused report, closed connection) */
  RRAnswerCounts counts;       /* get-server answers after the warm-up */
  CLatencySamples getServer;   /* get-server round trips after the warm-up */
  CLatencySamples cycle;       /* whole cycles, from the datagram to the idle acknowledgement */
  uint64_t okTotal = 0;        /* OK answers including the warm-up */
  double seconds = 0;          /* measured time (after the warm-up) */
};

/* Full-cycle clients: W threads, each running one cycle after the other
 * against the same get-server target: the datagram, its answer, and for an
 * OK answer the working and idle reports with their acknowledgements on
 * the named server's message-center connection (CAppServerFarm::cycle of
 * a farm in direct mode). Any other answer is counted and followed by the
 * next datagram. The same object runs against a router or the bare
 * baseline. */
class CCycleClients {
 public:
  /* With cpu >= 0 every client thread runs on that CPU only. */
  CCycleClients(RRToolAddress target, int clients, std::vector<std::string> datagrams, CAppServerFarm* farm,
                int cpu = -1);
  /* Runs every client for warmupMs + durationMs and merges their results;
   * each wait is bounded by waitMs. Throws CToolException when a socket
   * cannot be created. */
  RRCycleResult run(int warmupMs, int durationMs, int waitMs = 2000);

 private:
  RRToolAddress mTarget;
  int mClients;
  std::vector<std::string> mDatagrams;
  CAppServerFarm* mFarm;
  int mCpu;
};

class CEchoServer {
 public:
  /* Binds 127.0.0.1 with a free port and starts answering, in a child
   * process of its own (the same process boundary that separates the
   * clients from the router), or in a thread of this process when
   * `inThread`. Throws CToolException TOOL_IO. */
  explicit CEchoServer(const std::string& reply = "0 127.0.0.1 30000", bool inThread = false);
  ~CEchoServer();
  CEchoServer(const CEchoServer&) = delete;
  CEchoServer& operator=(const CEchoServer&) = delete;
  RRToolAddress address() const { return {"127.0.0.1", mPort}; }

 private:
  int mFd = -1;
  uint16_t mPort = 0;
  std::string mReply;
  std::atomic<bool> mStop{false};
  std::thread mThread;
  pid_t mChild = -1;
};

#endif /* BENCHLOAD_H */
