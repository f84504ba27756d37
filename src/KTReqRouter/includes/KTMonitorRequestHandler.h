/* KTMonitorRequestHandler.h - the monitor protocol: text lines on every server, pool and peer router.
 *
 * A monitoring tool connects to the monitor port and sends one-line requests
 * that begin with a decimal code:
 *   10  monitor line of every application server, pools in list order;
 *   11  the same with each server's pending cache data;
 *   12  monitor line of every peer router;
 *   13  one line per pool;
 *   14  "14 <n> <pool>": reset that pool's statistics (empty body);
 *   15  reset every pool's statistics (empty body);
 *   16  obsolete, refused;
 *   17  "17 <description>": explain, see below; any other code is refused.
 * Each answered request gets "0 <n>\n" followed by the n bytes of its body;
 * the connection then waits for the next request. A request that fails gets
 * no reply: the connection is closed.
 *
 * Explain (17): <description> is the text of a get-server datagram after its
 * code, pool included. The selection runs as for that datagram under the
 * same locks, but assigns nothing and changes no counter, last use or
 * state. The body has one fact per line, a keyword and blank-separated
 * fields, in this order:
 *   pool <name>
 *   candidates <n>                      idle servers of the highest priority
 *   candidate <host> <port> <priority>  one per candidate, in list order
 *   limit <kind> max <m> count <c>[ refuses]
 *                       each limit the request carries, in the order tested;
 *                       kind: extension, client, site, special-site
 *   outcome chosen <host> <port> rule <client|site|lru>
 *   outcome refused <kind>
 *   outcome no-idle
 *   outcome no-pool                     no such pool (then no other lines)
 * Exactly one outcome line ends the body; new keywords may be added before
 * it, so readers skip lines they do not know. A line without the blank, or
 * whose description ends before the pool field, fails the request; a
 * shorter description is otherwise read as the get-server listener reads
 * it (missing fields keep their defaults).
 *
 * Thread safety: the monitor listener's thread calls these; the pool list is
 * walked under its read lock, and the records lock themselves while their
 * lines are produced, so each line is consistent but the whole reply is not
 * a snapshot of one instant.
 */
#ifndef KTMONITORREQUESTHANDLER_H
#define KTMONITORREQUESTHANDLER_H

#include "RRProtocol.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "TCPServer.h"

struct KTBuffer;
struct KTSocket;
struct ASPoolList;
struct KTMCServerList;

/* Size of the request line buffer. */
#define MONITOR_MAX_REQUEST_LINE 8192

/* Serves one request line of the readable connection. Returns 0 when the
 * reply was sent and the connection stays open; otherwise the failing status
 * (ERROR_INVALID_PARAMETER for null arguments, ERROR_UNKNOWN for an
 * unreadable, obsolete or unknown code or a missing pool name,
 * ERROR_NO_SUCH_ELEMENT for an unknown pool, the read, producer or send
 * status), and the caller closes the connection without a reply. */
KTStatus MonitorRequestHandler(struct KTSocket* pSocket, struct ASPoolList* pPools,
                               struct KTMCServerList* pMCs, KTLog* pLog);

/* The sub-handlers append their body to pResponse; each returns the first
 * failing status of a line producer, which discards the reply. */
KTStatus MonitorHandleServerRequest(struct ASPoolList* pPools, struct KTBuffer* pResponse,
                                    KTLog* pLog);
KTStatus MonitorHandleDebugRequest(struct ASPoolList* pPools, struct KTBuffer* pResponse,
                                   KTLog* pLog);
KTStatus MonitorHandleMCServerRequest(struct KTMCServerList* pMCs, struct KTBuffer* pResponse,
                                      KTLog* pLog);
KTStatus MonitorHandlePoolRequest(struct ASPoolList* pPools, struct KTBuffer* pResponse,
                                  KTLog* pLog);
/* request is the whole request line ("14 <n> <pool>"). */
KTStatus MonitorHandleResetPoolRequest(const char* request, struct ASPoolList* pPools,
                                       KTLog* pLog);
KTStatus MonitorHandleResetAllPoolsRequest(struct ASPoolList* pPools, KTLog* pLog);
/* request is the whole request line ("17 <description>"); ERROR_UNKNOWN
 * when it has no blank after the code or the description has no pool. */
KTStatus MonitorHandleExplainRequest(const char* request, struct ASPoolList* pPools,
                                     struct KTBuffer* pResponse, KTLog* pLog);

/* The monitor TCP listener of a router instance; both lists are borrowed from
 * the instance and set before the listener's thread starts. */
class CMonitorServer : public CTCPServer {
 public:
  explicit CMonitorServer(const IPEndpoint& endpoint);
  CMonitorServer(const IPEndpoint& endpoint, struct ASPoolList* pools, struct KTMCServerList* mcs);

  /* MonitorRequestHandler with the listener's lists and the process log. */
  KTStatus handleRequest(struct KTSocket* pSocket) override;

  struct ASPoolList* pPoolList; /* borrowed */
  struct KTMCServerList* pMCs;  /* borrowed */
};

#endif /* KTMONITORREQUESTHANDLER_H */
