/* RRCtlJson.cpp - JSON documents of pool, server and peer records. */
#include "RRCtlJson.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "RRCtl.h"

namespace {

using nlohmann::json;

/* The router writes "(NULL)" for a last-request text that is empty. */
json text(const std::string& value) { return value == "(NULL)" ? json(nullptr) : json(value); }

std::string document(const json& array) {
  // Replacing bytes that are not UTF-8 keeps one odd cache item from
  // failing the whole document.
  return array.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

/* The lines of a text, without their line ends. */
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(std::move(line));
    start = end + 1;
  }
  return result;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> result;
  std::string::size_type at = 0;
  while (at <= line.size()) {
    const std::string::size_type next = std::min(line.find(' ', at), line.size());
    result.push_back(line.substr(at, next - at));
    at = next + 1;
  }
  return result;
}

/* A decimal number; false for any other text. */
bool decimal(const std::string& text, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

std::string RRPoolsJson(const std::vector<RRPoolLine>& pools) {
  static const char* const names[RR_POOL_FIELD_COUNT] = {
      "idle", "servers", "peers", "as_queue", "mc_queue", "hits", "misses", "by_client_ip", "by_site_guid",
      "by_last_use", "limit_by_extension", "limit_by_site", "limit_by_special_site", "assigned", "working",
      "monitor", "down", "limit_by_client", "timeouts", "unique_misses"};
  json array = json::array();
  for (const RRPoolLine& pool : pools) {
    json object = {{"name", pool.name}};
    for (int f = 0; f < RR_POOL_FIELD_COUNT; ++f) object[names[f]] = pool.values[f];
    array.push_back(std::move(object));
  }
  return document(array);
}

std::string RRServersJson(const std::vector<RRServerLine>& servers) {
  json array = json::array();
  for (const RRServerLine& s : servers) {
    json object = {{"pool", s.pool},
                   {"host", s.host},
                   {"port", s.port},
                   {"pid", s.pid},
                   {"state", s.state},
                   {"seconds_since_contact", s.contactAge},
                   {"hits", s.hits},
                   {"long_requests", s.longRequests},
                   {"quality_hits", s.qualityHits},
                   {"mean_processing_time_ms", s.meanMs},
                   {"overflow", s.overflow},
                   {"cache_items_waiting", s.cacheWaiting},
                   {"last_site_guid", text(s.site)},
                   {"task", text(s.task)},
                   {"last_client_ip", text(s.client)},
                   {"last_extension", text(s.extension)},
                   {"priority", s.priority},
                   {"last_store_name", text(s.store)},
                   {"seconds_since_use", s.lastUseAge}};
    if (s.hasCacheData) object["cache_items"] = RRSplitCacheItems(s.cacheData);
    array.push_back(std::move(object));
  }
  return document(array);
}

std::string RRPeersJson(const std::vector<RRPeerLine>& peers) {
  json array = json::array();
  for (const RRPeerLine& p : peers) {
    array.push_back({{"host", p.host}, {"port", p.port}, {"state", p.state}, {"seconds_since_contact", p.contactAge}});
  }
  return document(array);
}

std::string RRExplainJson(const std::string& body) {
  json object = {{"pool", nullptr},          {"candidate_count", nullptr}, {"candidates", json::array()},
                 {"limits", json::array()},  {"outcome", nullptr}};
  json raw = json::array();
  for (const std::string& line : lines(body)) {
    raw.push_back(line);
    const std::vector<std::string> f = fields(line);
    long long a = 0;
    long long b = 0;
    if (f[0] == "pool" && f.size() == 2) {
      object["pool"] = f[1];
    } else if (f[0] == "candidates" && f.size() == 2 && decimal(f[1], &a)) {
      object["candidate_count"] = a;
    } else if (f[0] == "candidate" && f.size() == 4 && decimal(f[2], &a) && decimal(f[3], &b)) {
      object["candidates"].push_back({{"host", f[1]}, {"port", a}, {"priority", b}});
    } else if (f[0] == "limit" && (f.size() == 6 || (f.size() == 7 && f[6] == "refuses")) && f[2] == "max" &&
               f[4] == "count" && decimal(f[3], &a) && decimal(f[5], &b)) {
      object["limits"].push_back({{"kind", f[1]}, {"max", a}, {"count", b}, {"refuses", f.size() == 7}});
    } else if (f[0] == "outcome" && f.size() == 6 && f[1] == "chosen" && f[4] == "rule" && decimal(f[3], &a)) {
      object["outcome"] = {{"result", "chosen"}, {"host", f[2]}, {"port", a}, {"rule", f[5]}};
    } else if (f[0] == "outcome" && f.size() == 3 && f[1] == "refused") {
      object["outcome"] = {{"result", "refused"}, {"limit", f[2]}};
    } else if (f[0] == "outcome" && f.size() == 2 && (f[1] == "no-idle" || f[1] == "no-pool")) {
      object["outcome"] = {{"result", f[1]}};
    }
  }
  object["text"] = lines(RRFormatExplain(body));
  object["lines"] = std::move(raw);
  return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
