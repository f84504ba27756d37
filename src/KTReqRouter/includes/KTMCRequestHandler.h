/* KTMCRequestHandler.h - the message-center protocol: the router's receiving side and its listener.
 *
 * Application servers keep the router informed over persistent TCP
 * connections, and peer routers tell each other which pools they serve and
 * forward cache data, all in one wire format: a header line
 * "<code> <length> ...\n" followed by exactly <length> bytes of data.
 * MCRequestHandler reads one request from a readable connection, dispatches
 * it by code and writes the reply "0 <n>\n<text>" (or "2 0\n" to an
 * announcement that must wait); any non-zero status means: close the
 * connection, after MCClientCloseHandler has removed what was bound to it.
 *
 * Bounds enforced on the wire: a header line holds at most 8191 bytes with
 * its "\n"; an address field at most 299 characters, whose host part at most
 * 255; a pool name at most 99 characters; a data length at most
 * MC_MAX_DATA_LENGTH bytes. Anything longer fails the request without being
 * cut into a different name, and a negative length reads no data.
 *
 * Thread safety: all handlers of one pool list must run in one thread, the
 * message-center listener's; it is the only thread that adds, removes and
 * frees pools, and it holds the pool list's write lock while doing so, so
 * the get-server and monitor threads (readers under the read lock) never see
 * a pool being freed. The records it touches lock themselves.
 */
#ifndef KTMCREQUESTHANDLER_H
#define KTMCREQUESTHANDLER_H

#include <string>

#include "RRProtocol.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "TCPServer.h"

struct KTBuffer;
struct KTSocket;
struct ASPool;
struct ASPoolList;
struct KTASServer;
struct KTMCServerList;

/* Size of the header line buffer: at most 8191 bytes plus the NUL. */
#define MC_MAX_HEADER_LINE 8192
/* Longest address field ("host:port") in a header. */
#define MC_MAX_ADDRESS_LENGTH 299
/* Longest host part of an address: what server and peer records can hold. */
#define MC_MAX_HOST_LENGTH 255
/* Longest pool name in a header. */
#define MC_MAX_POOLNAME_LENGTH 99

/* Serves one request of the readable connection pSocket: reads the header
 * line and the announced data, runs the handler of the code and writes the
 * reply. MyIP/MyPort are this router's own message-center host and port
 * (for peer records it creates); maxCacheItems is the queue size of pools it
 * creates. Returns 0 when the connection stays open; otherwise the failing
 * status (ERROR_INVALID_PARAMETER for null arguments, a zero port or a data
 * length above MC_MAX_DATA_LENGTH; ERROR_UNKNOWN for an unreadable header,
 * a refused or unknown code; the read, handler or send status), after which
 * the caller runs MCClientCloseHandler and closes the connection. */
KTStatus MCRequestHandler(struct KTSocket* pSocket, struct ASPoolList* pPoolList,
                          struct KTMCServerList* pMCs, const char* MyIP, unsigned short MyPort,
                          int maxCacheItems, KTLog* pLog);

/* Cleans up after the connection pSocket ended: every application server
 * bound to it is shut down, removed from its pool (the pool's cache is reset
 * first when the server was assigned, working or in monitor state, and a
 * pool left empty is freed) and freed; else a peer bound to it is marked
 * down; else nothing happens. Returns the last failing status, ERROR_INVALID_PARAMETER
 * for null arguments. */
KTStatus MCClientCloseHandler(struct KTSocket* pSocket, struct ASPoolList* pPoolList,
                              struct KTMCServerList* pMCs, KTLog* pLog);

/* Splits an address "host:port" in place at its LAST colon (so IPv6 literals
 * keep theirs): on success IP holds only the host and *pPort the port.
 * Returns 0 on success and 1 on failure: when ok is 0 (the caller's scan
 * missed a field), when there is no colon, no number after it, no host
 * before it, or the host is longer than MC_MAX_HOST_LENGTH. IP is unchanged
 * on failure. */
int ParseSocket(char* IP, unsigned short* pPort, int ok);

/* The handlers, one per code. Each scans the header line (MCScanRequestHeader)
 * and returns 0, ERROR_INVALID_PARAMETER for null arguments, ERROR_UNKNOWN
 * for a header it cannot parse or an unknown server, or the failing registry
 * status; a handler that wrote its own reply returns
 * ERROR_RESPONSE_ALREADY_SET. data is the received data text (null when the
 * request carried none); pResponse receives the reply text. Besides:
 *  - code 2 answers "2 0\n" itself to a server that is busy in another pool;
 *    an idle one moves (MCRegistryMoveServer). A failing move returns its
 *    status, also when only dropping the old pool failed and the server did
 *    arrive in the new pool: the connection then closes and takes the
 *    server along like any other server bound to it;
 *  - code 5: empty data or an unknown pool is no failure;
 *  - code 6 returns the state change's status (ERROR_UNKNOWN unless the
 *    server was working);
 *  - code 7 returns the first failing step's status;
 *  - code 20: a failure to list the pool names is logged only;
 *  - code 22: an unknown pool or peer is no failure. */
KTStatus MCHandleASInitialFreeRequest(const char* header, struct ASPoolList* pPoolList,
                                      struct KTMCServerList* pMCs, struct KTSocket* pSocket,
                                      int maxCacheItems, KTLog* pLog);
KTStatus MCHandleASIdleRequest(const char* header, const char* data, struct ASPoolList* pPoolList,
                               struct KTSocket* pSocket, struct KTBuffer* pResponse, KTLog* pLog);
KTStatus MCHandleASWorkingRequest(const char* header, const char* data,
                                  struct ASPoolList* pPoolList, struct KTSocket* pSocket,
                                  struct KTBuffer* pResponse, KTLog* pLog);
KTStatus MCHandleASUpdateCacheRequest(const char* header, const char* data,
                                      struct ASPoolList* pPoolList, KTLog* pLog);
KTStatus MCHandleASSetMonFlagRequest(const char* header, struct ASPoolList* pPoolList, KTLog* pLog);
KTStatus MCHandleASFinishRequest(const char* header, const char* data,
                                 struct ASPoolList* pPoolList, struct KTMCServerList* pMCs,
                                 KTLog* pLog);
KTStatus MCHandleMCInitialPoolRequest(const char* header, struct ASPoolList* pPoolList,
                                      struct KTMCServerList* pMCs, struct KTSocket* pSocket,
                                      struct KTBuffer* pResponse, const char* MyIP,
                                      unsigned short MyPort, KTLog* pLog);
KTStatus MCHandleMCNewPoolRequest(const char* header, struct ASPoolList* pPoolList,
                                  struct KTMCServerList* pMCs, struct KTSocket* pSocket,
                                  int maxCacheItems, const char* MyIP, unsigned short MyPort,
                                  KTLog* pLog);
KTStatus MCHandleMCReleasePoolRequest(const char* header, struct ASPoolList* pPoolList,
                                      struct KTMCServerList* pMCs, struct KTSocket* pSocket,
                                      const char* MyIP, unsigned short MyPort, KTLog* pLog);
/* Raises SIGTERM in this process (which ends it: the router installs no
 * handler); exits with status 0 should raising fail. Never returns normally
 * unless a handler for SIGTERM was installed, then returns 0. */
KTStatus MCHandleASShutdownRequest(KTLog* pLog);

/* Stores cache data of a script or peer in the pool (forwarded to the pool's
 * peers unless broadcast is set). "All" 0x01 0x01 resets every pool's cache
 * instead; data of "DefaultPool" is also stored for the servers of every
 * other pool. Returns the pool's failing status. */
KTStatus _AddScriptData(struct ASPool* pPool, const char* data, struct ASPoolList* pPoolList,
                        int broadcast, KTLog* pLog);
/* Exchanges cache data with application server pAS: pResponse receives what
 * is waiting for it, its own data (may be null) goes to the other servers
 * and the peers. "All" 0x01 0x01 resets every pool's cache (peers included)
 * and leaves the response empty; "DefaultPool" spreads as above. Returns the
 * pool's failing status. */
KTStatus _AddServerData(struct ASPool* pPool, const char* data, struct ASPoolList* pPoolList,
                        struct KTASServer* pAS, struct KTBuffer* pResponse, KTLog* pLog);

/* The message-center TCP listener of a router instance. The pool list and the
 * peer list are borrowed from the instance, which sets them (and the other
 * fields) before the listener's thread starts. Served by one thread. */
class CMessageCenterServer : public CTCPServer {
 public:
  explicit CMessageCenterServer(const IPEndpoint& endpoint);
  CMessageCenterServer(const IPEndpoint& endpoint, struct ASPoolList* poolList,
                       struct KTMCServerList* mcs, int maxCacheItems, const std::string& mcIP,
                       unsigned short mcPort);

  /* MCRequestHandler with the listener's state and the process log. When
   * mMCPort is 0 the port actually listened on is used as our own port. */
  KTStatus handleRequest(struct KTSocket* pSocket) override;
  /* MCClientCloseHandler with the listener's state and the process log. */
  KTStatus handleClientClose(struct KTSocket* pSocket) override;
  /* Records the serving thread as the pool list's only writer. */
  void onServingThreadStart() override;

  struct ASPoolList* pPoolList;  /* borrowed */
  struct KTMCServerList* pMCs;   /* borrowed */
  int mMaxCacheItems;            /* queue size of pools created here */
  std::string mMCIP;             /* this router's own message-center host */
  unsigned short mMCPort;        /* this router's own message-center port */
};

#endif /* KTMCREQUESTHANDLER_H */
