/* RRCtlJson.cpp - JSON documents of pool, server and peer records. */
#include "RRCtlJson.h"

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

/* The router writes "(NULL)" for a last-request text that is empty. */
json text(const std::string& value) { return value == "(NULL)" ? json(nullptr) : json(value); }

std::string document(const json& array) {
  // Replacing bytes that are not UTF-8 keeps one odd cache item from
  // failing the whole document.
  return array.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
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
