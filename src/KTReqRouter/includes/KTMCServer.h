/* KTMCServer.h - the link to one peer router (peer message center): sends, state and send thread.
 *
 * A KTMCServer is this router's record of one other router of the
 * installation. Through it the router sends the peer the start-up question
 * for its pools (code 20), the announcements that a pool got its first or
 * lost its last application server (codes 21 and 22) and, from a send
 * thread of its own, the pending cache data of every pool the two routers
 * share (code 5). Outgoing connections come from a connection pool towards
 * the peer (KTServer) and are parked again after a complete exchange.
 *
 * State: a record starts as new (KTMCSTATUS_STARTED); every send makes it up
 * on success and down on failure, and the end of the incoming connection it
 * last used marks it down (KTMCServerSetShutdown). State changes are logged
 * only when the state really changes, so a peer that stays down is silent.
 * Network failures never fail the calling operation: the peer is marked down
 * and retried at the next occasion.
 *
 * The send thread wakes every send cycle (5000 ms) or when cache data is
 * queued for the peer (KTMCServerCacheWackup) and sends, for every shared
 * pool, what the peer has not received yet, even when that is nothing: a
 * peer that shares a pool receives a code-5 message about every cycle.
 *
 * Every operation returns a KTStatus, takes the log last and rejects null
 * pointers (and non-null output slots) with ERROR_INVALID_PARAMETER.
 *
 * Thread safety: sends may run at the same time from the send thread, the
 * message-center thread and the instance thread; each uses its own
 * connection. The record's critical section guards MCStatus, SocketFd,
 * lastContact and the cache-info hash; it is never held during network I/O.
 * The cache data of one cycle is taken under it and sent afterwards.
 * Lock order: peer list, then peer record, then cache queue.
 *
 * Release order: free the peer records (their global list) before the pools
 * whose peer queues they read; KTMCServerFree unregisters the record's
 * readers from those queues.
 */
#ifndef KTMCSERVER_H
#define KTMCSERVER_H

#include <stdarg.h>
#include <time.h>

#include "RRProtocol.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTCondition;
struct KTCriticalSection;
struct KTHash;
struct KTMemoryManager;
struct KTServer;
struct KTSocket;
struct KTThread;

/* Size of the host arrays; a host holds at most 255 characters. */
#define KTMCSERVER_HOST_SIZE 256

/* Default send cycle of the send thread, in milliseconds. */
#define KTMCSERVER_SEND_CYCLE_MS 5000
/* Connect time-outs (seconds) of the start-up question and of all other sends. */
#define KTMCSERVER_INITIAL_CONNECT_TIMEOUT 70
#define KTMCSERVER_CONNECT_TIMEOUT 1
/* Default bound of every send and reply wait on a peer connection, in ms. */
#define KTMCSERVER_REPLY_TIMEOUT_MS 1000
/* Longest reply header line accepted from a peer (characters, "\n" included). */
#define KTMCSERVER_REPLY_LINE_MAX 31
/* Largest list of pool names accepted in the reply to the start-up question. */
#define KTMCSERVER_MAX_POOLNAMES_LENGTH (16 * 1024 * 1024)

typedef enum KTMCStatus {
  KTMCSTATUS_STARTED = -1,
  KTMCSTATUS_SHUTDOWN = 0,
  KTMCSTATUS_CONNECTED = 1
} KTMCStatus;

/* The names the monitor prints, indexed by state + 1: "new", "down", "up". */
extern const char* const MCStatusNames[3];

typedef struct KTMCServer {
  struct KTCriticalSection* pCriticalSection; /* owned; guards state, SocketFd, lastContact, hash */
  struct KTCondition* pCondition;             /* owned; wakes the send thread */
  int SocketFd;                               /* incoming connection of the last 20/21/22; -1 */
  char IP[KTMCSERVER_HOST_SIZE];              /* the peer's message-center host */
  unsigned short port;                        /* the peer's message-center port */
  struct KTServer* pServer;                   /* owned; connection pool towards the peer */
  KTMCStatus MCStatus;                        /* new, down or up */
  time_t lastContact;                         /* last successful send or match; 0 = never */
  char myMCIP[KTMCSERVER_HOST_SIZE];          /* this router's message-center host */
  unsigned short myMCPort;                    /* this router's message-center port */
  struct KTMemoryManager* pMemoryManager;     /* owned; storage of the hash */
  struct KTHash* pCacheInfoHash;              /* pool name -> CacheInfo in that pool's peer queue */
  struct KTThread* pThread;                   /* owned; the send thread */
} KTMCServer;

/* Creation and release ----------------------------------------------------- */

/* Creates a record for the peer IP:port (IP resolves, at most 255
 * characters) that introduces itself as myMCIP:myMCPort (at most 255
 * characters), state new, and starts its send thread; *ppMC must be null.
 * Returns ERROR_INVALID_PARAMETER for bad or over-long arguments, the
 * resolver's status for a host that does not resolve, else the failing
 * step's status; *ppMC stays null and nothing is left allocated then. */
KTStatus KTMCServerNew(KTMCServer** ppMC, const char* IP, unsigned short port, const char* myMCIP,
                       unsigned short myMCPort, KTLog* pLog);

/* Stops the send thread (waking it; cancelled after 100 ms), unregisters and
 * frees every cache reader, closes the parked connections and frees the
 * record; *ppMC becomes null. Returns ERROR_INVALID_PARAMETER for a null
 * argument, else the last failing step's status. */
KTStatus KTMCServerFree(KTMCServer** ppMC, KTLog* pLog);

/* Sends ------------------------------------------------------------------- */

/* Asks the peer for the pools it serves (code 20, connect time-out 70 s)
 * and sets pPoolNames to the names it returns, each ending in "\r\n" (empty
 * when the peer cannot be reached, which marks it down and returns 0).
 * Returns 1 when the reply header cannot be read as two numbers or announces
 * an impossible length, ERROR_MEMORY_ALLOCATION, the status of a failed data
 * read, or a lock or park failure. */
KTStatus KTMCServerSendInitial(KTMCServer* pMC, struct KTBuffer* pPoolNames, KTLog* pLog);

/* Sends the pool's cache data (code 5, NUL-terminated, may be empty) and
 * expects exactly "0 0\n". Returns 0 also when the peer fails (it is marked
 * down); only a lock or park failure is returned. */
KTStatus KTMCServerSendCache(KTMCServer* pMC, const char* poolName, const char* data, KTLog* pLog);

/* Peer-list iterators (KTMCServerListForEach) announcing that the pool got
 * its first (code 21) or lost its last (code 22) application server.
 * Variable arguments: the pool (ASPool*, whose name is its first field),
 * then the KTLog*. Return 0 also when the peer fails (it is marked down);
 * a lock or park failure is returned and stops the walk. */
long KTMCServerSendNewPool(void* pElement, va_list args);
long KTMCServerSendReleasePool(void* pElement, va_list args);

/* Send thread ------------------------------------------------------------- */

/* Wakes the send thread; a wake-up given while it is not waiting ends its
 * next wait at once. Returns the condition's failing status. */
KTStatus KTMCServerCacheWackup(KTMCServer* pMC, KTLog* pLog);

/* Takes, for every shared pool, what the peer has not received yet (the read
 * position moves to the end, so data that fails to reach a down peer is
 * dropped) and sends it with KTMCServerSendCache. Returns 0 for a valid
 * record; failures are logged. */
KTStatus KTMCServerCacheStandup(KTMCServer* pMC, KTLog* pLog);

/* Waits up to timeoutMs (0 or less: without limit) for a wake-up. A time-out
 * is no failure. Returns the condition's failing status. */
KTStatus KTMCServerWaitForChange(KTMCServer* pMC, int timeoutMs, KTLog* pLog);

/* State and connection ---------------------------------------------------- */

/* Marks the peer down and forgets its connection; logs "MC [%s]:%hu shut
 * down" unless it was down already. Returns the lock's failing status. */
KTStatus KTMCServerSetShutdown(KTMCServer* pMC, KTLog* pLog);
/* Records the connection's descriptor (-1 for a null connection). Returns
 * the socket's or lock's failing status. */
KTStatus KTMCServerSetSocket(KTMCServer* pMC, struct KTSocket* pSocket, KTLog* pLog);
/* *pResult = 1 when the connection's descriptor is the recorded one, else 0. */
KTStatus KTMCServerSocketMatches(KTMCServer* pMC, struct KTSocket* pSocket, int* pResult,
                                 KTLog* pLog);
/* *pMatches = 1 when host names the same host as the peer (CompareHostAddr:
 * equal literals or a common address) and the ports are equal; a match sets
 * lastContact to now. */
KTStatus KTMCServerMatches(KTMCServer* pMC, const char* host, unsigned short port, int* pMatches,
                           KTLog* pLog);
/* Sets the buffer to the peer's host and *pPort to its port. */
KTStatus KTMCServerGetHost(KTMCServer* pMC, struct KTBuffer* pIP, unsigned short* pPort,
                           KTLog* pLog);
/* *pStatus = the peer's current state (read under the record's lock). */
KTStatus KTMCServerGetStatus(KTMCServer* pMC, KTMCStatus* pStatus, KTLog* pLog);

/* Peer-list iterator appending the monitor line "M host:port state seconds\r\n"
 * (seconds since lastContact, -1 when never). Variable arguments: the
 * response KTBuffer*, then the KTLog*. Returns the buffer's failing status. */
long KTMCServerMonitorServer(void* pElement, va_list args);

/* Shared pools ------------------------------------------------------------ */

/* Registers a reader for the pool in the pool's peer queue pQueue (at its
 * tail: only newer data is forwarded). An existing reader for the pool is
 * kept (logged, status 0). Returns the failing step's status, nothing
 * registered then. */
KTStatus KTMCServerAddPoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                    KTLog* pLog);
/* Unregisters and frees the pool's reader; none is logged with status 0.
 * Returns the failing step's status. */
KTStatus KTMCServerRemovePoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                       KTLog* pLog);

/* Locking ----------------------------------------------------------------- */

/* Enters the record's lock; *pLocked becomes 1 on success, else 0. Never
 * call another operation of the record while holding it. */
KTStatus KTMCServerLock(KTMCServer* pMC, int* pLocked, KTLog* pLog);
/* Leaves the record's lock. */
KTStatus KTMCServerUnlock(KTMCServer* pMC, KTLog* pLog);

/* Timing for tests -------------------------------------------------------- */

/* Sets the send cycle of every send thread (ms; 0 or less restores 5000).
 * Takes effect at each thread's next wait. */
void KTMCServerSetSendCycle(int ms);
/* The current send cycle in ms. */
int KTMCServerGetSendCycle(void);
/* Sets the bound of the send and reply waits of later sends (ms; 0 or less
 * restores 1000). */
void KTMCServerSetReplyTimeout(int ms);

#endif /* KTMCSERVER_H */
