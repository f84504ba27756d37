/* BenchAppServerFarm.h - simulated application servers for the benchmark.
 *
 * Each simulated server holds one message-center connection to its router,
 * announces itself in its pool (code 2) and then follows the life of a real
 * application server: when a get-server client reports that the router
 * assigned it, it reports working (code 4), waits the service time and
 * reports idle (code 3), optionally with cache items of its own. A request
 * cycle is complete when the router has acknowledged the idle report. The
 * cache data the router hands back with each acknowledgement is counted,
 * and items that came from servers of another router are counted apart.
 *
 * Registration opens the connections without blocking, in batches small
 * enough for the router's accept queue, and waits for each batch's
 * acknowledgements before the next, so thousands of servers register in
 * about a second rather than one round trip after another.
 *
 * All connections are served by one thread with epoll; assign() may be
 * called from any thread. In direct mode there is no serving thread: the
 * caller runs each cycle itself with cycle(), on the chosen server's
 * connection, from any thread.
 */
#ifndef BENCHAPPSERVERFARM_H
#define BENCHAPPSERVERFARM_H

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RRToolAddress.h"

struct RRBenchServerDef {
  RRToolAddress messageCenter; /* the router the server reports to */
  int router = 0;              /* index of that router, for cache origin */
  std::string pool;
  std::string host = "127.0.0.1";
  uint16_t port = 0;           /* unique within the farm */
};

struct RRFarmOptions {
  int serviceMs = 0;        /* time between the working and the idle report */
  int cacheItemsPerIdle = 0; /* cache items sent with each idle report */
  bool direct = false;      /* no serving thread: cycles run through cycle() */
  int batch = 100;          /* connections opened at once during registration */
};

/* Counts since start (or the last snapshot the caller subtracts). */
struct RRFarmCounters {
  uint64_t assignments = 0;       /* assignments reported by clients */
  uint64_t cycles = 0;            /* idle reports acknowledged after work */
  uint64_t cacheItemsSent = 0;
  uint64_t cacheItemsReceived = 0;
  uint64_t crossRouterItems = 0;  /* received items that came from another router's servers */
  uint64_t cacheResets = 0;       /* "All" items received */
  uint64_t unexpected = 0;        /* assignments of unknown or busy servers, refused replies */
  uint64_t closed = 0;            /* connections the router closed */
};

class CAppServerFarm {
 public:
  CAppServerFarm(std::vector<RRBenchServerDef> servers, RRFarmOptions options);
  ~CAppServerFarm();
  CAppServerFarm(const CAppServerFarm&) = delete;
  CAppServerFarm& operator=(const CAppServerFarm&) = delete;

  /* Connects and announces every server, waits for every acknowledgement
   * and, unless direct, starts the serving thread; throws CToolException
   * on any failure. timeoutMs bounds each batch. */
  void start(int timeoutMs);
  /* Direct mode: one whole cycle of the server with this port on its own
   * connection (working report, its acknowledgement, idle report, its
   * acknowledgement), each wait bounded by timeoutMs. False when the port
   * is unknown, the router refused a report, or the connection failed
   * (the server is then dead); counted like the cycles of the serving
   * thread. Thread-safe; cycles of one server run one after the other. */
  bool cycle(uint16_t port, int timeoutMs);
  /* A client was told to use the server with this port (thread-safe). */
  void assign(uint16_t port);
  /* Completed cycles of the server with this port (thread-safe); 0 for an
   * unknown port. */
  uint64_t serverCycles(uint16_t port) const;
  /* Waits until the server with this port has completed more than
   * `previous` cycles, at most timeoutMs; false on time-out (thread-safe). */
  bool waitCycle(uint16_t port, uint64_t previous, int timeoutMs);
  /* Stops the thread and closes every connection (the router then removes
   * the servers). */
  void stop();
  /* The counters at this moment. */
  RRFarmCounters counters() const;

 private:
  enum State { STATE_IDLE, STATE_WORKING_SENT, STATE_SERVING, STATE_IDLE_SENT, STATE_DEAD };
  struct Sim;
  /* A server whose idle report is due (steady clock, nanoseconds). */
  struct Due {
    int64_t when;
    std::size_t index;
    bool operator>(const Due& other) const { return when > other.when; }
  };

  void loop();
  void startCycle(std::size_t index);
  void sendIdle(std::size_t index);
  /* The cache items of the next idle report of a server, counted as sent. */
  std::string nextCacheData(std::size_t index);
  void send(std::size_t index, const std::string& message);
  void flush(std::size_t index);
  void readFrom(std::size_t index);
  void onReply(std::size_t index, int code, const std::string& data);
  void countCache(std::size_t index, const std::string& data);
  void markDead(std::size_t index);
  void registerBatch(std::size_t first, std::size_t end, int timeoutMs);
  bool exchange(std::size_t index, const std::string& message, int timeoutMs);

  std::vector<RRBenchServerDef> mDefs;
  RRFarmOptions mOptions;
  std::vector<Sim*> mSims;
  std::vector<int> mByPort;      /* port to index, -1 for none */
  std::vector<Due> mDue;         /* min-heap of idle reports to send (serving thread only) */
  struct sockaddr_storage mResolved = {}; /* the message center being registered with */
  socklen_t mResolvedLength = 0;
  int mEpoll = -1;
  int mWake = -1;                /* eventfd that wakes the thread for assignments */
  std::mutex mQueueLock;
  std::vector<std::size_t> mQueue; /* assigned indices waiting for the thread */
  std::atomic<bool> mStop{false};
  std::thread mThread;
  std::unique_ptr<std::atomic<uint64_t>[]> mServerCycles; /* per server, for waitCycle */
  std::mutex mCycleLock;
  std::condition_variable mCycleDone;
  std::atomic<int> mWaiters{0};

  std::atomic<uint64_t> mAssignments{0}, mCycles{0}, mItemsSent{0}, mItemsReceived{0}, mCrossItems{0},
      mResets{0}, mUnexpected{0}, mClosed{0};
};

#endif /* BENCHAPPSERVERFARM_H */
