/* RRMetrics.cpp - collecting monitor records into metric families. */
#include "RRMetrics.h"

#include <cstdint>

#include "RRMonitorClient.h"
#include "RRToolException.h"

namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;

struct FamilyDef {
  const char* name;
  const char* type;
  const char* help;
};

const FamilyDef kFamilies[] = {
    {"ktrr_pool_servers", "gauge", "Application servers of the pool."},
    {"ktrr_pool_servers_by_state", "gauge", "Application servers of the pool in each state."},
    {"ktrr_pool_peers", "gauge", "Peer routers that share the pool."},
    {"ktrr_pool_queue_items", "gauge",
     "Cache items in the pool's queue for its application servers (queue=\"server\") or its peers (queue=\"peer\")."},
    {"ktrr_pool_hits_total", "counter", "Get-server requests answered with a server."},
    {"ktrr_pool_misses_total", "counter",
     "Get-server requests without a server (no idle server, a limit, or an error)."},
    {"ktrr_pool_unique_misses_total", "counter", "Misses on a request's first try."},
    {"ktrr_pool_timeouts_total", "counter", "Requests given up after their last try."},
    {"ktrr_pool_selections_total", "counter",
     "Servers chosen because they last served the client (by=\"client_ip\") or the site (by=\"site_guid\"), "
     "or as the least recently used (by=\"last_use\")."},
    {"ktrr_pool_limit_refusals_total", "counter",
     "Requests refused by the limit per extension, per site, of a site's own, or per client."},
    {"ktrr_server_state", "gauge", "1 for the current state of the application server, 0 for the others."},
    {"ktrr_server_pid", "gauge", "Process id of the application server."},
    {"ktrr_server_priority", "gauge", "Priority the application server announced."},
    {"ktrr_server_hits_total", "counter", "Assignments of the application server (cleared when it goes down)."},
    {"ktrr_server_long_requests_total", "counter", "Requests of the application server that took over 5 s."},
    {"ktrr_server_measured_requests_total", "counter",
     "Requests of the application server measured for the mean time (1 to 5000 ms)."},
    {"ktrr_server_mean_processing_seconds", "gauge", "Smoothed processing time of the application server."},
    {"ktrr_server_cache_overflow", "gauge", "1 when the application server missed cache items and gets a reset."},
    {"ktrr_server_cache_items_waiting", "gauge", "Cache items waiting for the application server."},
    {"ktrr_server_contact_age_seconds", "gauge", "Seconds since the application server last reported."},
    {"ktrr_server_last_use_age_seconds", "gauge", "Seconds since the application server was last assigned."},
    {"ktrr_peer_state", "gauge", "1 for the current state of the peer router, 0 for the others."},
    {"ktrr_peer_contact_age_seconds", "gauge", "Seconds since the last contact with the peer (absent: never)."},
};

const char* const kServerStates[] = {"down", "idle", "assigned", "working", "monitor"};
const char* const kPeerStates[] = {"new", "down", "up"};

/* Counters arrive as their low 32 bits, printed signed. */
long long counterValue(long long printed) {
  return printed < 0 && printed >= INT32_MIN ? printed + (1LL << 32) : printed;
}

/* Milliseconds as seconds, exactly: "0.120". */
std::string secondsFromMs(long long ms) {
  const bool negative = ms < 0;
  const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(ms) : ms;
  std::string fraction = std::to_string(magnitude % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return (negative ? "-" : "") + std::to_string(magnitude / 1000) + "." + fraction;
}

std::string helpText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

struct CMetricSet::Family {
  FamilyDef def;
  std::vector<std::string> samples;  // rendered lines
  std::set<std::string> seen;        // rendered label sets

  void add(const Labels& labels, const std::string& value) {
    std::string set;
    for (const auto& label : labels) {
      set += set.empty() ? "{" : ",";
      set += label.first + "=\"" + RRMetricLabelValue(label.second) + "\"";
    }
    if (!set.empty()) set += "}";
    if (!seen.insert(set).second) return;
    samples.push_back(std::string(def.name) + set + " " + value + "\n");
  }
  void add(const Labels& labels, long long value) { add(labels, std::to_string(value)); }
};

std::string RRMetricLabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

RRRouterSnapshot RRFetchRouter(const RRToolAddress& monitor, int timeoutMs) {
  CMonitorClient client(monitor, timeoutMs);
  RRRouterSnapshot snapshot;
  snapshot.pools = RRParsePoolLines(client.request(CMonitorClient::requestLine(MONITOR_GET_POOLS)));
  snapshot.servers = RRParseServerLines(client.request(CMonitorClient::requestLine(MONITOR_GET_SERVERS)), false);
  snapshot.peers = RRParsePeerLines(client.request(CMonitorClient::requestLine(MONITOR_GET_MCSERVERS)));
  return snapshot;
}

CMetricSet::CMetricSet() {
  for (const FamilyDef& def : kFamilies) {
    mFamilies.emplace_back(new Family{def, {}, {}});
    mByName[def.name] = mFamilies.back().get();
  }
}

CMetricSet::~CMetricSet() = default;

CMetricSet::Family& CMetricSet::family(const std::string& name) {
  const auto it = mByName.find(name);
  if (it == mByName.end()) throw CToolException(CToolException::TOOL_IO, "no metric family " + name);
  return *it->second;
}

void CMetricSet::add(const RRRouterSnapshot& snapshot, const std::string& router) {
  const Labels base = router.empty() ? Labels() : Labels{{"router", router}};
  auto with = [&base](Labels more) {
    Labels labels = base;
    labels.insert(labels.end(), more.begin(), more.end());
    return labels;
  };
  // Counts of -1 could not be read by the router: no sample.
  auto gauge = [this](const char* name, const Labels& labels, long long value) {
    if (value >= 0) family(name).add(labels, value);
  };
  auto counter = [this](const char* name, const Labels& labels, long long value) {
    family(name).add(labels, counterValue(value));
  };

  for (const RRPoolLine& pool : snapshot.pools) {
    const Labels labels = with({{"pool", pool.name}});
    const long long* v = pool.values;
    gauge("ktrr_pool_servers", labels, v[RR_POOL_SERVERS]);
    const std::pair<const char*, int> states[] = {{"idle", RR_POOL_IDLE},
                                                   {"assigned", RR_POOL_ASSIGNED},
                                                   {"working", RR_POOL_WORKING},
                                                   {"monitor", RR_POOL_MONITOR},
                                                   {"down", RR_POOL_DOWN}};
    for (const auto& state : states) {
      gauge("ktrr_pool_servers_by_state", with({{"pool", pool.name}, {"state", state.first}}), v[state.second]);
    }
    gauge("ktrr_pool_peers", labels, v[RR_POOL_PEERS]);
    gauge("ktrr_pool_queue_items", with({{"pool", pool.name}, {"queue", "server"}}), v[RR_POOL_AS_QUEUE]);
    gauge("ktrr_pool_queue_items", with({{"pool", pool.name}, {"queue", "peer"}}), v[RR_POOL_MC_QUEUE]);
    counter("ktrr_pool_hits_total", labels, v[RR_POOL_HITS]);
    counter("ktrr_pool_misses_total", labels, v[RR_POOL_MISSES]);
    counter("ktrr_pool_unique_misses_total", labels, v[RR_POOL_UNIQUE_MISSES]);
    counter("ktrr_pool_timeouts_total", labels, v[RR_POOL_TIMEOUTS]);
    const std::pair<const char*, int> selections[] = {
        {"client_ip", RR_POOL_BY_CLIENT}, {"site_guid", RR_POOL_BY_SITE}, {"last_use", RR_POOL_BY_LAST_USE}};
    for (const auto& by : selections) {
      counter("ktrr_pool_selections_total", with({{"pool", pool.name}, {"by", by.first}}), v[by.second]);
    }
    const std::pair<const char*, int> limits[] = {{"extension", RR_POOL_LIMIT_EXTENSION},
                                                   {"site", RR_POOL_LIMIT_SITE},
                                                   {"special_site", RR_POOL_LIMIT_SPECIAL_SITE},
                                                   {"client", RR_POOL_LIMIT_CLIENT}};
    for (const auto& limit : limits) {
      counter("ktrr_pool_limit_refusals_total", with({{"pool", pool.name}, {"limit", limit.first}}),
              v[limit.second]);
    }
  }

  for (const RRServerLine& s : snapshot.servers) {
    const std::string server = RRToolFormatAddress({s.host, s.port});
    const Labels labels = with({{"pool", s.pool}, {"server", server}});
    bool known = false;
    for (const char* state : kServerStates) {
      known = known || s.state == state;
      family("ktrr_server_state").add(with({{"pool", s.pool}, {"server", server}, {"state", state}}),
                                      s.state == state ? 1 : 0);
    }
    if (!known) family("ktrr_server_state").add(with({{"pool", s.pool}, {"server", server}, {"state", s.state}}), 1);
    family("ktrr_server_pid").add(labels, s.pid);
    family("ktrr_server_priority").add(labels, s.priority);
    counter("ktrr_server_hits_total", labels, s.hits);
    counter("ktrr_server_long_requests_total", labels, s.longRequests);
    counter("ktrr_server_measured_requests_total", labels, s.qualityHits);
    family("ktrr_server_mean_processing_seconds").add(labels, secondsFromMs(counterValue(s.meanMs)));
    family("ktrr_server_cache_overflow").add(labels, s.overflow);
    family("ktrr_server_cache_items_waiting").add(labels, s.cacheWaiting);
    family("ktrr_server_contact_age_seconds").add(labels, s.contactAge);
    family("ktrr_server_last_use_age_seconds").add(labels, s.lastUseAge);
  }

  for (const RRPeerLine& p : snapshot.peers) {
    const std::string peer = RRToolFormatAddress({p.host, p.port});
    bool known = false;
    for (const char* state : kPeerStates) {
      known = known || p.state == state;
      family("ktrr_peer_state").add(with({{"peer", peer}, {"state", state}}), p.state == state ? 1 : 0);
    }
    if (!known) family("ktrr_peer_state").add(with({{"peer", peer}, {"state", p.state}}), 1);
    gauge("ktrr_peer_contact_age_seconds", with({{"peer", peer}}), p.contactAge);
  }
}

std::string CMetricSet::render() const {
  std::string text;
  for (const auto& f : mFamilies) {
    text += std::string("# HELP ") + f->def.name + " " + helpText(f->def.help) + "\n";
    text += std::string("# TYPE ") + f->def.name + " " + f->def.type + "\n";
    for (const std::string& sample : f->samples) text += sample;
  }
  return text;
}
