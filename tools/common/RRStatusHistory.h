/* RRStatusHistory.h - hits and misses per second of each pool over the last minutes, kept in memory.
 *
 * The status page plots, per pool, how many get-server requests got a
 * server (hits) and how many did not (misses) per second. CStatusHistory
 * takes one sample of a router's pool lines at a time and keeps, per pool,
 * the rates between consecutive samples in a ring of a fixed number of
 * points; when the ring is full the oldest point goes.
 *
 * Memory is bounded whatever the router reports:
 *   - at most maxPoints points per pool (16 bytes each);
 *   - at most maxPools pools: pools already tracked keep their place, new
 *     ones are taken in the order of the sample while there is room, the
 *     rest are counted as untracked;
 *   - a pool missing from a sample is dropped with its points;
 *   - a pool name longer than kMaxPoolName bytes is not tracked.
 *
 * Counters are read as the router prints them, the low 32 bits of 64-bit
 * counts, so a negative count is taken as the unsigned 32-bit number. A
 * count that went down (a statistics reset, a router restart, a wrap) is
 * taken as counted from zero. The first sample of a pool and a sample whose
 * time is not after the previous one give no point; a count of -1 (not
 * readable) gives a point without that rate (a negative rate in the point).
 *
 * Thread safety: none; the owner locks.
 */
#ifndef RRSTATUSHISTORY_H
#define RRSTATUSHISTORY_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "RRMonitorLines.h"

struct RRRatePoint {
  int64_t atMs = 0;        /* time of the later sample, ms since the epoch */
  float hitsPerS = 0;      /* -1: not readable */
  float missesPerS = 0;    /* -1: not readable */
};

class CStatusHistory {
 public:
  static constexpr std::size_t kMaxPoolName = 256;

  /* maxPoints and maxPools are taken as at least 1. */
  CStatusHistory(std::size_t maxPoints, std::size_t maxPools);

  /* Takes one sample of the pool lines, taken at atMs. */
  void add(int64_t atMs, const std::vector<RRPoolLine>& pools);

  /* The names of the tracked pools, sorted. */
  std::vector<std::string> pools() const;
  /* The points of a pool, oldest first; empty for a pool not tracked. */
  std::vector<RRRatePoint> points(const std::string& pool) const;
  /* Pools of the last sample that are not tracked because of the cap. */
  std::size_t untracked() const { return mUntracked; }
  std::size_t maxPoints() const { return mMaxPoints; }
  std::size_t maxPools() const { return mMaxPools; }

 private:
  struct Track {
    int64_t lastAtMs = 0;
    long long lastHits = 0;
    long long lastMisses = 0;
    std::vector<RRRatePoint> ring;  /* grows to maxPoints, then wraps */
    std::size_t next = 0;           /* where the next point goes once full */
  };
  void push(Track& track, const RRRatePoint& point) const;

  std::size_t mMaxPoints;
  std::size_t mMaxPools;
  std::size_t mUntracked = 0;
  std::map<std::string, Track> mTracks;
};

#endif /* RRSTATUSHISTORY_H */
