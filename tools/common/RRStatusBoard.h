/* RRStatusBoard.h - what the exporter last learned from each router, served as JSON to the status page.
 *
 * One sampling thread per router asks its monitor port for pools, servers
 * and peers (requests 13, 10 and 12 on one connection, every wait bounded
 * by the time-out) once per interval and keeps the answer as the documents
 * of "rrctl pools|servers|peers --json" (RRCtlJson.h), together with the
 * hit and miss rates of its pools (RRStatusHistory.h). The HTTP handlers
 * only read what the threads stored, so a router that hangs or restarts
 * never holds up a request of the page.
 *
 * A router that cannot be reached, or answers wrongly, keeps the documents
 * of its last good answer and is marked unreachable with the reason, until
 * an answer succeeds again.
 *
 * The documents, one object with "now_ms" (the exporter's clock, ms since
 * the epoch) and "routers", an array in the order of the monitors given,
 * of objects with:
 *   router      the monitor as HOST:PORT
 *   reachable   true, false, or null before the first answer or failure
 *   error       the reason of the last failure while unreachable, else null
 *   checked_ms  time of the last attempt, null before the first
 *   updated_ms  time of the last good answer, null before the first
 * and one of
 *   pools | servers | peers  the document of rrctl ... --json
 *   pools (history)          objects of name and points, an array of
 *                            [time ms, hits per s, misses per s] oldest
 *                            first (a rate of -1: not readable), with
 *                            "untracked" (pools left out by the cap),
 *                            "max_points" and "max_pools" beside them.
 *
 * Thread safety: every member may be called from any thread; start and
 * stop from one thread only.
 */
#ifndef RRSTATUSBOARD_H
#define RRSTATUSBOARD_H

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RRToolAddress.h"

/* An HTTP answer: status and JSON body. */
struct RRStatusAnswer {
  int status = 200;
  std::string body;
};

class CStatusBoard {
 public:
  enum Document { POOLS, SERVERS, PEERS, HISTORY };

  /* Points kept per pool: ten minutes of samples, at most 600. */
  static std::size_t historyPoints(int intervalMs);
  /* Pools per router whose history is kept. */
  static constexpr std::size_t kMaxHistoryPools = 256;

  /* log receives one line (without line end) when a router becomes
   * unreachable and when it answers again, from the sampling threads (so it
   * locks what it writes to); it may be empty. */
  CStatusBoard(std::vector<RRToolAddress> monitors, int timeoutMs, int intervalMs,
               std::function<void(const std::string&)> log = {});
  ~CStatusBoard();
  CStatusBoard(const CStatusBoard&) = delete;
  CStatusBoard& operator=(const CStatusBoard&) = delete;

  /* Starts the sampling threads; each samples at once, then every interval. */
  void start();
  /* Stops and joins the threads; a sample in progress ends within its
   * time-outs. Harmless when not started. */
  void stop();

  /* Takes one sample of the router at index now, in the calling thread. */
  void sample(std::size_t index);

  /* The document of every router, or of the one named HOST:PORT; 404 with
   * an "error" object for a router the board does not watch. */
  RRStatusAnswer document(Document which, const std::string& router = "") const;

  /* Runs monitor request 17 through "rrctl explain --json" for the
   * parameters router (may be left out when one router is watched), pool,
   * and optionally client, site, ext, site_max, pool_site_max,
   * pool_client_max, ext_max; empty values count as left out. 200 with the
   * explain document; 400 for a missing, unknown or malformed parameter,
   * 404 for a router not watched, 502 when the router cannot be asked; the
   * failures with an object {"error": text}. */
  RRStatusAnswer explain(const std::multimap<std::string, std::string>& params) const;

  std::size_t routerCount() const { return mWatches.size(); }

 private:
  struct Watch;
  int find(const std::string& router) const;
  void run(std::size_t index);

  std::vector<std::unique_ptr<Watch>> mWatches;
  int mTimeoutMs;
  int mIntervalMs;
  std::function<void(const std::string&)> mLog;
  std::mutex mStopMutex;
  std::condition_variable mStopped;
  bool mStop = false;
  std::vector<std::thread> mThreads;
};

#endif /* RRSTATUSBOARD_H */
