/* RRCtl.h - the commands of rrctl, the router's operator tool.
 *
 *   rrctl pools|servers|peers|cache HOST:PORT [--raw | --json] [--timeout MS]
 *   rrctl metrics HOST:PORT [--timeout MS]
 *   rrctl exporter --listen HOST:PORT MONITOR... [--interval MS] [--timeout MS]
 *   rrctl reset HOST:PORT [POOL] [--timeout MS]
 *   rrctl get-server HOST:PORT POOL [request options] [--raw] [--timeout MS]
 *   rrctl explain HOST:PORT POOL [request options] [--raw | --json] [--timeout MS]
 *   rrctl watch HOST:PORT [--interval MS] [--count N] [--timeout MS]
 *
 * pools, servers, peers and cache ask the monitor port (requests 13, 10, 12
 * and 11) and print the answer as an aligned table, or unchanged with
 * --raw, or as one JSON array with --json; metrics prints the pool, server
 * and peer figures in the Prometheus text format and exporter serves them
 * over HTTP (RRMetrics.h, RRExporter.h); reset clears the statistics of one pool (14) or of all (15);
 * get-server sends one get-server datagram to the router's UDP port and
 * prints the decoded answer; explain sends the same request as monitor
 * request 17 and prints how the router would answer it, assigning nothing
 * (RRFormatExplain, or RRExplainJson with --json); watch prints the pool table again every
 * interval. Results go to the output stream, errors to the error stream as
 * one line beginning "rrctl: ". The exit status is 0 on success, 1 when the
 * router cannot be reached or answers wrongly, 2 for a usage error.
 *
 * The table formatters are exposed for tests and other tools.
 *
 * Thread safety: RRCtlMain keeps no state of its own; run one per thread.
 */
#ifndef RRCTL_H
#define RRCTL_H

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "RRMonitorLines.h"

enum RRCtlExit { RRCTL_EXIT_OK = 0, RRCTL_EXIT_FAILURE = 1, RRCTL_EXIT_USAGE = 2 };

/* Where rrctl writes and how it waits; the hooks let tests run watch
 * without real sleeping and with a fixed clock. */
struct RRCtlIO {
  RRCtlIO(std::ostream& output, std::ostream& errors) : out(output), err(errors) {}
  std::ostream& out;
  std::ostream& err;
  bool clearScreen = false;                 /* watch: clear the terminal before each table */
  std::function<void(int)> sleepMs;         /* watch: wait between tables; SleepMilliseconds when empty */
  std::function<std::string()> timestamp;   /* watch: time shown above each table; local time when empty */
};

/* Runs one rrctl command line (without the program name) and returns the
 * exit status; never throws. */
int RRCtlMain(const std::vector<std::string>& args, RRCtlIO& io);

/* The usage text, ending in a line feed. */
std::string RRCtlUsage();

/* Aligned tables of monitor records, each ending in a line feed. */
std::string RRFormatPools(const std::vector<RRPoolLine>& pools);
std::string RRFormatServers(const std::vector<RRServerLine>& servers);
std::string RRFormatPeers(const std::vector<RRPeerLine>& peers);
std::string RRFormatCache(const std::vector<RRServerLine>& servers);
/* The body of an explain answer (KTMonitorRequestHandler.h) in sentences,
 * one per line; lines it does not know are printed as they came. */
std::string RRFormatExplain(const std::string& body);

#endif /* RRCTL_H */
