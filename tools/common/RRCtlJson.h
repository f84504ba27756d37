/* RRCtlJson.h - monitor records as JSON documents for scripts.
 *
 * Each function returns one JSON document: for records an array with one
 * object per record, in the order of the monitor answer. Field names are the monitor's
 * fields in snake_case; counts are JSON numbers exactly as the router
 * printed them (-1 for a count it could not read); the router's "(NULL)" of
 * an empty last-request text is null. Cache items are opaque bytes of the
 * application servers: bytes that are not UTF-8 appear as U+FFFD (the
 * --raw output keeps them unchanged).
 *
 * Thread safety: plain functions without shared state.
 */
#ifndef RRCTLJSON_H
#define RRCTLJSON_H

#include <string>
#include <vector>

#include "RRMonitorLines.h"

/* Objects of name, idle, servers, peers, as_queue, mc_queue, hits, misses,
 * by_client_ip, by_site_guid, by_last_use, limit_by_extension,
 * limit_by_site, limit_by_special_site, assigned, working, monitor, down,
 * limit_by_client, timeouts, unique_misses. */
std::string RRPoolsJson(const std::vector<RRPoolLine>& pools);
/* Objects of pool, host, port, pid, state, seconds_since_contact, hits,
 * long_requests, quality_hits, mean_processing_time_ms, overflow,
 * cache_items_waiting, last_site_guid, task, last_client_ip,
 * last_extension, priority, last_store_name, seconds_since_use; with cache
 * data also cache_items, the list of pending items. */
std::string RRServersJson(const std::vector<RRServerLine>& servers);
/* Objects of host, port, state, seconds_since_contact (-1: never). */
std::string RRPeersJson(const std::vector<RRPeerLine>& peers);
/* The body of an explain answer (KTMonitorRequestHandler.h) as one object:
 * pool; candidate_count; candidates, objects of host, port, priority;
 * limits, objects of kind, max, count, refuses; outcome, an object with
 * result "chosen" (and host, port, rule: client, site or lru), "refused"
 * (and limit), "no-idle" or "no-pool", null when the body has no outcome
 * line; text, the lines of RRFormatExplain; lines, the body's lines as they
 * came. A line this tool does not understand appears in lines and text
 * only. */
std::string RRExplainJson(const std::string& body);

#endif /* RRCTLJSON_H */
