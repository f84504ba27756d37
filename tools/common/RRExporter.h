/* RRExporter.h - the HTTP server of "rrctl exporter".
 *
 * Answers GET /metrics by asking every monitor port at the time of the
 * scrape (in parallel, each within the time-out) and returning the
 * exposition text of all of them, with the label "router" (the monitor's
 * HOST:PORT) when there is more than one. A monitor that cannot be reached
 * or answers wrongly makes the scrape fail with 503 and a one-line reason,
 * so that no partial figures pass for complete ones.
 *
 * For people it serves the status page on GET / (RRStatusPage.h) and the
 * JSON it reads: /api/pools, /api/servers, /api/peers and /api/history
 * (each for all routers, or for one with ?router=HOST:PORT) answered from
 * what the sampling threads stored every interval, and /api/explain,
 * which asks the router at once (RRStatusBoard.h). Other paths are 404.
 *
 * RRExporterRun blocks SIGTERM and SIGINT in the calling thread (and thus in
 * every thread it starts), binds the listener, writes
 * "rrctl exporter: listening on HOST:PORT" to the output stream and serves
 * until one of the two signals arrives; a dedicated thread waits for them
 * with sigwait and stops the server, so no signal handler runs. Call it
 * before the process starts other threads.
 */
#ifndef RREXPORTER_H
#define RREXPORTER_H

#include <iosfwd>
#include <string>
#include <vector>

#include "RRToolAddress.h"

struct RRExporterOptions {
  RRToolAddress listen;  /* port 0: a port chosen by the system */
  std::vector<RRToolAddress> monitors;
  int timeoutMs = 3000;
  int intervalMs = 2000; /* between two samples for the status page */
};

/* The body of a scrape; throws CToolException naming the monitor that
 * failed. */
std::string RRExporterScrape(const RRExporterOptions& options);

/* Serves until SIGTERM or SIGINT; returns 0 then, or throws
 * CToolException TOOL_IO when the listener cannot be bound. */
int RRExporterRun(const RRExporterOptions& options, std::ostream& out, std::ostream& err);

#endif /* RREXPORTER_H */
