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
 * connection. The record's lock (a KTMutex) guards the state, the recorded
 * connection, the last contact and the readers of the shared pools; it is
 * never held during network I/O. The cache data of one cycle is taken under
 * it and sent afterwards. The operations marked KT_EXCLUDES take it and must
 * not be called with it held. The host and port never change after
 * creation and are read without it. The send thread's wake-up signal has
 * its own lock. Lock order: peer list, then peer record, then cache queue.
 *
 * Release order: free the peer records (their global list) before the pools
 * whose peer queues they read; KTMCServerFree unregisters the record's
 * readers from those queues.
 */
#ifndef KTMCSERVER_H
#define KTMCSERVER_H

#include <stdarg.h>
#include <time.h>

#include "KTLock.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"
#include "RRProtocol.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTSocket;

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

typedef struct KTMCServer KTMCServer;

/* The record's lock, named by the lock annotations below; never taken by hand. */
KTMutex* KTMCServerMutex(KTMCServer* pMC);

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
 * Returns ERROR_UNKNOWN when the reply header cannot be read as two numbers
 * or announces an impossible length, ERROR_MEMORY_ALLOCATION, the status of a failed data
 * read, or a lock or park failure. */
KTStatus KTMCServerSendInitial(KTMCServer* pMC, struct KTBuffer* pPoolNames, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

/* Sends the pool's cache data (code 5, NUL-terminated, may be empty) and
 * expects exactly "0 0\n". Returns 0 also when the peer fails (it is marked
 * down); only a lock or park failure is returned. */
KTStatus KTMCServerSendCache(KTMCServer* pMC, const char* poolName, const char* data, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

/* Peer-list iterators (KTMCServerListForEach) announcing that the pool got
 * its first (code 21) or lost its last (code 22) application server.
 * Variable arguments: the pool (ASPool*), then the KTLog*. Return 0 also
 * when the peer fails (it is marked down); a failure to read the pool's
 * name, to build the message, of the lock or of parking is returned and
 * stops the walk. */
long KTMCServerSendNewPool(void* pElement, va_list args);
long KTMCServerSendReleasePool(void* pElement, va_list args);

/* Peer-list iterators (KTMCServerListForEach) that queue the same
 * announcements for the peer's send thread and wake it, so the caller (the
 * message-center thread) never waits on a peer: two routers announcing to
 * each other at the same moment would otherwise each wait for the other's
 * reply until both time out and drop the link. A pending announcement of the
 * same pool is replaced, since the peer needs only the pool's latest state;
 * the queue thus holds at most one entry per pool. Variable arguments: the
 * pool (ASPool*), then the KTLog*. Return 0, or the failing status of the
 * lock, of memory or of the wake-up, which stops the walk. */
long KTMCServerQueueNewPool(void* pElement, va_list args);
long KTMCServerQueueReleasePool(void* pElement, va_list args);

/* Send thread ------------------------------------------------------------- */

/* Wakes the send thread; a wake-up given while it is not waiting ends its
 * next wait at once. Returns the condition's failing status. */
KTStatus KTMCServerCacheWackup(KTMCServer* pMC, KTLog* pLog);

/* Takes, under the record's lock, for every shared pool what the peer has
 * not received yet (the read position moves to the end, so data that fails
 * to reach a down peer is dropped) and sends it with KTMCServerSendCache
 * after leaving the lock. Returns the status of entering or leaving the
 * record's lock when that fails (logged; nothing is sent then); failures to
 * take or send a pool's data are logged and the other pools still sent. */
KTStatus KTMCServerCacheStandup(KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

/* Takes the queued pool announcements under the record's lock and sends
 * them in order after leaving it (KTMCServerSendNewPool's exchange; a failed
 * one marks the peer down and is not repeated). The send thread runs it
 * before KTMCServerCacheStandup, so a peer hears of a pool before its data.
 * Returns the failing status of the lock; a failed send is logged and the
 * others still sent. */
KTStatus KTMCServerSendAnnouncements(KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

/* Waits up to timeoutMs (0 or less: without limit) for a wake-up. A time-out
 * is no failure. Returns the condition's failing status. */
KTStatus KTMCServerWaitForChange(KTMCServer* pMC, int timeoutMs, KTLog* pLog);

/* State and connection ---------------------------------------------------- */

/* Marks the peer down and forgets its connection; logs "MC [%s]:%hu shut
 * down" unless it was down already. Returns the lock's failing status. */
KTStatus KTMCServerSetShutdown(KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));
/* Records the connection's descriptor (-1 for a null connection). Returns
 * the socket's or lock's failing status. */
KTStatus KTMCServerSetSocket(KTMCServer* pMC, struct KTSocket* pSocket, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));
/* *pResult = 1 when the connection's descriptor is the recorded one, else 0. */
KTStatus KTMCServerSocketMatches(KTMCServer* pMC, struct KTSocket* pSocket, int* pResult,
                                 KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));
/* *pMatches = 1 when host names the same host as the peer (CompareHostAddr:
 * equal literals or a common address) and the ports are equal; a match sets
 * lastContact to now. */
KTStatus KTMCServerMatches(KTMCServer* pMC, const char* host, unsigned short port, int* pMatches,
                           KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));
/* Sets the buffer to the peer's host and *pPort to its port. */
KTStatus KTMCServerGetHost(KTMCServer* pMC, struct KTBuffer* pIP, unsigned short* pPort,
                           KTLog* pLog);
/* The peer's host and port as given to KTMCServerNew: they never change, so
 * no lock is taken and the host stays valid as long as the record. Null and
 * 0 for a null record. */
const char* KTMCServerHost(const KTMCServer* pMC);
unsigned short KTMCServerPort(const KTMCServer* pMC);
/* *pStatus = the peer's current state (read under the record's lock). */
KTStatus KTMCServerGetStatus(KTMCServer* pMC, KTMCStatus* pStatus, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

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
                                    KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));
/* Unregisters and frees the pool's reader; none is logged with status 0.
 * Returns the failing step's status. */
KTStatus KTMCServerRemovePoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                       KTLog* pLog)
    KT_EXCLUDES(*KTMCServerMutex(pMC));

/* Locking ----------------------------------------------------------------- */

/* Enters the record's lock; *pLocked becomes 1 on success, else 0 (nothing
 * is held then). Never call an operation marked KT_EXCLUDES while holding
 * it; no operation of the router needs these two. */
KTStatus KTMCServerLock(KTMCServer* pMC, int* pLocked, KTLog* pLog)
    KT_ACQUIRE(*KTMCServerMutex(pMC));
/* Leaves the record's lock. */
KTStatus KTMCServerUnlock(KTMCServer* pMC, KTLog* pLog)
    KT_RELEASE(*KTMCServerMutex(pMC));

/* Timing for tests -------------------------------------------------------- */

/* Sets the send cycle of every send thread (ms; 0 or less restores 5000).
 * Takes effect at each thread's next wait. */
void KTMCServerSetSendCycle(int ms);
/* The current send cycle in ms. */
int KTMCServerGetSendCycle(void);
/* Whether records created from now on start a send thread (1, the default)
 * or not (0). A record without one sends only what its owner sends for it
 * with KTMCServerSendAnnouncements and KTMCServerCacheStandup; harnesses that
 * drive those steps themselves turn the threads off. */
void KTMCServerSetSendThreads(int on);
/* Sets the bound of the send and reply waits of later sends (ms; 0 or less
 * restores 1000). */
void KTMCServerSetReplyTimeout(int ms);

#endif /* KTMCSERVER_H */
