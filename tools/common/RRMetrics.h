/* RRMetrics.h - the monitor figures of routers in the Prometheus text format.
 *
 * RRFetchRouter asks one monitor port for its pools, servers and peers over
 * one connection. CMetricSet turns the records of one or more routers into
 * the text exposition format 0.0.4: every family has "# HELP" and "# TYPE"
 * lines and its samples together, names begin with "ktrr_", counters end
 * in "_total", label values are escaped. Conventions an operator relies on:
 *   - a count the router could not read (printed as -1) has no sample;
 *   - the router prints its 64-bit counters as their low 32 bits, so a
 *     negative counter is read back as an unsigned 32-bit number: it grows
 *     until it wraps, and the wrap looks like a counter reset;
 *   - the state of a server or peer is one sample per known state, 1 for the
 *     current one and 0 for the others (a state this tool does not know is
 *     shown with 1 as well);
 *   - a label set that occurs twice keeps its first sample, since a scrape
 *     with a duplicate series is refused as a whole.
 *
 * Thread safety: one CMetricSet belongs to one thread at a time; the
 * functions keep no shared state.
 */
#ifndef RRMETRICS_H
#define RRMETRICS_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RRMonitorLines.h"
#include "RRToolAddress.h"

struct RRRouterSnapshot {
  std::vector<RRPoolLine> pools;
  std::vector<RRServerLine> servers;
  std::vector<RRPeerLine> peers;
};

/* Requests 13, 10 and 12 on one connection, each answer within timeoutMs;
 * throws CToolException as CMonitorClient and the line parsers do. */
RRRouterSnapshot RRFetchRouter(const RRToolAddress& monitor, int timeoutMs);

/* The label value with backslash, double quote and line feed escaped. */
std::string RRMetricLabelValue(const std::string& value);

class CMetricSet {
 public:
  CMetricSet();
  ~CMetricSet();
  CMetricSet(const CMetricSet&) = delete;
  CMetricSet& operator=(const CMetricSet&) = delete;

  /* Adds the samples of one router; a non-empty router name becomes the
   * label "router" of each of its samples. */
  void add(const RRRouterSnapshot& snapshot, const std::string& router = "");
  /* The exposition text, every family in a fixed order. */
  std::string render() const;

 private:
  struct Family;
  Family& family(const std::string& name);
  std::vector<std::unique_ptr<Family>> mFamilies;
  std::map<std::string, Family*> mByName;
};

#endif /* RRMETRICS_H */
