/* RRStatusBoard.cpp - sampling threads, the stored documents and explain through rrctl. */
#include "RRStatusBoard.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "RRCtl.h"
#include "RRCtlJson.h"
#include "RRMetrics.h"
#include "RRStatusHistory.h"
#include "RRToolException.h"

namespace {

using nlohmann::json;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

RRStatusAnswer failure(int status, const std::string& text) {
  return {status, json({{"error", text}}).dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}

json optional(int64_t ms) { return ms == 0 ? json(nullptr) : json(ms); }

}  // namespace

struct CStatusBoard::Watch {
  Watch(const RRToolAddress& monitor, std::size_t points)
      : address(monitor), name(RRToolFormatAddress(monitor)), history(points, kMaxHistoryPools) {}

  const RRToolAddress address;
  const std::string name;
  mutable std::mutex mutex;
  bool tried = false;
  bool reachable = false;
  std::string error;
  int64_t checkedMs = 0;
  int64_t updatedMs = 0;
  json pools = json::array();
  json servers = json::array();
  json peers = json::array();
  CStatusHistory history;
};

std::size_t CStatusBoard::historyPoints(int intervalMs) {
  const long long interval = std::max(1, intervalMs);
  return static_cast<std::size_t>(std::min(600LL, std::max(1LL, (600000 + interval - 1) / interval)));
}

CStatusBoard::CStatusBoard(std::vector<RRToolAddress> monitors, int timeoutMs, int intervalMs,
                           std::function<void(const std::string&)> log)
    : mTimeoutMs(timeoutMs), mIntervalMs(intervalMs), mLog(std::move(log)) {
  for (const RRToolAddress& monitor : monitors) {
    mWatches.push_back(std::make_unique<Watch>(monitor, historyPoints(intervalMs)));
  }
}

CStatusBoard::~CStatusBoard() { stop(); }

void CStatusBoard::start() {
  {
    std::lock_guard<std::mutex> guard(mStopMutex);
    mStop = false;
  }
  for (std::size_t i = 0; i < mWatches.size(); ++i) mThreads.emplace_back([this, i] { run(i); });
}

void CStatusBoard::stop() {
  {
    std::lock_guard<std::mutex> guard(mStopMutex);
    mStop = true;
  }
  mStopped.notify_all();
  for (std::thread& thread : mThreads) thread.join();
  mThreads.clear();
}

void CStatusBoard::run(std::size_t index) {
  std::unique_lock<std::mutex> lock(mStopMutex);
  while (!mStop) {
    lock.unlock();
    const auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(mIntervalMs);
    sample(index);
    lock.lock();
    mStopped.wait_until(lock, next, [this] { return mStop; });
  }
}

void CStatusBoard::sample(std::size_t index) {
  Watch& watch = *mWatches.at(index);
  // The router is asked without the lock, so readers never wait for it.
  std::string error;
  RRRouterSnapshot snapshot;
  json pools;
  json servers;
  json peers;
  try {
    snapshot = RRFetchRouter(watch.address, mTimeoutMs);
    pools = json::parse(RRPoolsJson(snapshot.pools));
    servers = json::parse(RRServersJson(snapshot.servers));
    peers = json::parse(RRPeersJson(snapshot.peers));
  } catch (const std::exception& e) {
    error = oneLine(e.what());
    if (error.empty()) error = "unknown failure";
  }
  const int64_t at = nowMs();
  std::string change;
  {
    std::lock_guard<std::mutex> guard(watch.mutex);
    const bool wasReachable = watch.reachable;
    const bool first = !watch.tried;
    watch.tried = true;
    watch.checkedMs = at;
    if (error.empty()) {
      watch.reachable = true;
      watch.error.clear();
      watch.updatedMs = at;
      watch.pools = std::move(pools);
      watch.servers = std::move(servers);
      watch.peers = std::move(peers);
      watch.history.add(at, snapshot.pools);
      if (!first && !wasReachable) change = "router " + watch.name + " answers again";
    } else {
      watch.reachable = false;
      watch.error = error;
      if (first || wasReachable) change = "router " + watch.name + " cannot be reached: " + error;
    }
  }
  if (!change.empty() && mLog) mLog(change);
}

int CStatusBoard::find(const std::string& router) const {
  for (std::size_t i = 0; i < mWatches.size(); ++i) {
    if (mWatches[i]->name == router) return static_cast<int>(i);
  }
  return -1;
}

RRStatusAnswer CStatusBoard::document(Document which, const std::string& router) const {
  int only = -1;
  if (!router.empty()) {
    only = find(router);
    if (only < 0) return failure(404, "router " + router + " is not watched by this exporter");
  }
  json routers = json::array();
  for (std::size_t i = 0; i < mWatches.size(); ++i) {
    if (only >= 0 && static_cast<int>(i) != only) continue;
    const Watch& w = *mWatches[i];
    std::lock_guard<std::mutex> guard(w.mutex);
    json entry = {{"router", w.name},
                  {"reachable", w.tried ? json(w.reachable) : json(nullptr)},
                  {"error", w.reachable || !w.tried ? json(nullptr) : json(w.error)},
                  {"checked_ms", optional(w.checkedMs)},
                  {"updated_ms", optional(w.updatedMs)}};
    switch (which) {
      case POOLS:
        entry["pools"] = w.pools;
        break;
      case SERVERS:
        entry["servers"] = w.servers;
        break;
      case PEERS:
        entry["peers"] = w.peers;
        break;
      case HISTORY: {
        json pools = json::array();
        for (const std::string& name : w.history.pools()) {
          json points = json::array();
          for (const RRRatePoint& p : w.history.points(name)) {
            points.push_back({p.atMs, p.hitsPerS, p.missesPerS});
          }
          pools.push_back({{"name", name}, {"points", std::move(points)}});
        }
        entry["pools"] = std::move(pools);
        entry["untracked"] = w.history.untracked();
        entry["max_points"] = w.history.maxPoints();
        entry["max_pools"] = w.history.maxPools();
        break;
      }
    }
    routers.push_back(std::move(entry));
  }
  json doc = {{"now_ms", nowMs()}, {"routers", std::move(routers)}};
  if (which == HISTORY) doc["interval_ms"] = mIntervalMs;
  return {200, doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"};
}

RRStatusAnswer CStatusBoard::explain(const std::multimap<std::string, std::string>& params) const {
  static const std::map<std::string, std::string> options = {
      {"client", "--client"},       {"site", "--site"},
      {"ext", "--ext"},             {"site_max", "--site-max"},
      {"pool_site_max", "--pool-site-max"}, {"pool_client_max", "--pool-client-max"},
      {"ext_max", "--ext-max"}};
  std::string router;
  std::string pool;
  std::vector<std::string> extra;
  std::set<std::string> seen;
  for (const auto& param : params) {
    const std::string& key = param.first;
    const std::string& value = param.second;
    if (key != "router" && key != "pool" && options.count(key) == 0) {
      return failure(400, "unknown parameter '" + RRPrintable(key, 40) + "'");
    }
    if (!seen.insert(key).second) return failure(400, "parameter " + key + " is given twice");
    if (value.empty()) continue;
    if (key == "router") {
      router = value;
    } else if (key == "pool") {
      pool = value;
    } else {
      extra.push_back(options.at(key));
      extra.push_back(value);
    }
  }
  if (router.empty()) {
    if (mWatches.size() != 1) return failure(400, "parameter router is missing");
    router = mWatches[0]->name;
  }
  if (find(router) < 0) return failure(404, "router " + RRPrintable(router, 100) + " is not watched by this exporter");
  // A pool name like an option would be taken for one by the command line.
  if (pool.empty()) return failure(400, "parameter pool is missing");
  if (pool[0] == '-') return failure(400, "pool name '" + RRPrintable(pool, 100) + "' must not begin with '-'");

  std::vector<std::string> args = {"explain", router, pool, "--json", "--timeout", std::to_string(mTimeoutMs)};
  args.insert(args.end(), extra.begin(), extra.end());
  std::ostringstream out;
  std::ostringstream err;
  RRCtlIO io(out, err);
  const int status = RRCtlMain(args, io);
  if (status == RRCTL_EXIT_OK) return {200, out.str()};
  std::string reason = err.str();
  reason = reason.substr(0, reason.find('\n'));
  if (reason.compare(0, 7, "rrctl: ") == 0) reason.erase(0, 7);
  return failure(status == RRCTL_EXIT_USAGE ? 400 : 502, reason);
}
