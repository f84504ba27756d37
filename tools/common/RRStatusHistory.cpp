/* RRStatusHistory.cpp - per-pool rings of hit and miss rates. */
#include "RRStatusHistory.h"

#include <algorithm>
#include <set>

namespace {

/* The router prints the low 32 bits of its counters; -1 stays unreadable. */
long long counterValue(long long printed) {
  if (printed == -1) return -1;
  return printed < 0 ? printed + 4294967296LL : printed;
}

/* Per second between two readings; a drop is counted from zero. */
float rate(long long before, long long now, int64_t elapsedMs) {
  if (before < 0 || now < 0) return -1;
  const long long delta = now >= before ? now - before : now;
  return static_cast<float>(static_cast<double>(delta) * 1000.0 / static_cast<double>(elapsedMs));
}

}  // namespace

CStatusHistory::CStatusHistory(std::size_t maxPoints, std::size_t maxPools)
    : mMaxPoints(std::max<std::size_t>(1, maxPoints)), mMaxPools(std::max<std::size_t>(1, maxPools)) {}

void CStatusHistory::push(Track& track, const RRRatePoint& point) const {
  if (track.ring.size() < mMaxPoints) {
    track.ring.push_back(point);
    return;
  }
  track.ring[track.next] = point;
  track.next = (track.next + 1) % mMaxPoints;
}

void CStatusHistory::add(int64_t atMs, const std::vector<RRPoolLine>& pools) {
  std::set<std::string> present;
  for (const RRPoolLine& pool : pools) present.insert(pool.name);
  for (auto it = mTracks.begin(); it != mTracks.end();) {
    it = present.count(it->first) != 0 ? std::next(it) : mTracks.erase(it);
  }
  mUntracked = 0;
  std::set<std::string> seen;
  for (const RRPoolLine& pool : pools) {
    // A name the router repeats is one pool: its first line counts.
    if (!seen.insert(pool.name).second) continue;
    const long long hits = counterValue(pool.values[RR_POOL_HITS]);
    const long long misses = counterValue(pool.values[RR_POOL_MISSES]);
    auto it = mTracks.find(pool.name);
    if (it == mTracks.end()) {
      if (mTracks.size() >= mMaxPools || pool.name.size() > kMaxPoolName) {
        ++mUntracked;
        continue;
      }
      Track& track = mTracks[pool.name];
      track.ring.reserve(mMaxPoints);
      track.lastAtMs = atMs;
      track.lastHits = hits;
      track.lastMisses = misses;
      continue;
    }
    Track& track = it->second;
    if (atMs <= track.lastAtMs) continue;
    const int64_t elapsed = atMs - track.lastAtMs;
    push(track, {atMs, rate(track.lastHits, hits, elapsed), rate(track.lastMisses, misses, elapsed)});
    track.lastAtMs = atMs;
    track.lastHits = hits;
    track.lastMisses = misses;
  }
}

std::vector<std::string> CStatusHistory::pools() const {
  std::vector<std::string> names;
  for (const auto& entry : mTracks) names.push_back(entry.first);
  return names;
}

std::vector<RRRatePoint> CStatusHistory::points(const std::string& pool) const {
  const auto it = mTracks.find(pool);
  if (it == mTracks.end()) return {};
  const Track& track = it->second;
  if (track.ring.size() < mMaxPoints) return track.ring;
  std::vector<RRRatePoint> ordered(track.ring.begin() + static_cast<std::ptrdiff_t>(track.next), track.ring.end());
  ordered.insert(ordered.end(), track.ring.begin(), track.ring.begin() + static_cast<std::ptrdiff_t>(track.next));
  return ordered;
}
