/* KTASServer.h - the router's record of one application server: address, pool, state, statistics.
 *
 * A record is created when an application server announces itself, lives in
 * exactly one pool's server list and is freed when the server finishes or
 * its connection closes. It holds the server's host, port, pool, process id
 * and priority, its state (KTASStatus), what it was last assigned, counters
 * with a smoothed processing time, and its read position (CacheInfo) in the
 * pool's cache queue.
 *
 * States: created idle. set-idle, set-assigned, set-working, start-monitor
 * and set-shutdown move it (see the function comments); assigned, working
 * and monitor count as "in use" for the selection limits, and only idle
 * servers can be chosen. Times come from HighResTime()/KTTimeNow() so tests
 * can drive them with the test clock.
 *
 * Every operation returning a KTStatus checks its pointer arguments first
 * (a null pointer, or a non-null output slot where one must be empty, gives
 * ERROR_INVALID_PARAMETER and a "wrong arguments passed to procedure" log
 * line) and takes the log last. Locked operations return their first error,
 * else the status of the unlock.
 *
 * Thread safety: each record has its own non-recursive critical section.
 * State changes, GetStatus, GetQuality, SetPoolName, SetSocket,
 * SocketMatches and both monitor lines take it. The plain accessors take no
 * lock: the last-request texts must only be read by a caller that holds the
 * record's lock or knows that no other thread changes the record. For the
 * selection, which walks whole pools for every request, the state and the
 * keys of the last-request texts are atomics that may be read without the
 * record's lock; lastUse changes only in set-assigned, which the selection
 * runs under the server list's lock, so holders of that lock may read it.
 * host, port, pid and priority never change after creation. Lock order:
 * server list, then record, then cache queue.
 */
#ifndef KTASSERVER_H
#define KTASSERVER_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "KTLog.h"
#include "KTStatus.h"
#include "KTUtils.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTCriticalSection;
struct KTSocket;
class CASRequestInfo;

/* Array sizes of the text fields; each holds at most size - 1 characters. */
#define KTASSERVER_IP_SIZE 256
#define KTASSERVER_POOLNAME_SIZE 255
#define KTASSERVER_CLIENTIP_SIZE 256
#define KTASSERVER_SITEGUID_SIZE 37
#define KTASSERVER_STORENAME_SIZE 255
#define KTASSERVER_EXTENSION_SIZE 20

/* The task text (and the monitor text of an empty last-request field). */
#define KTASSERVER_NULL_TEXT "(NULL)"

/* An assigned server that reports idle goes back to idle only after this
 * many milliseconds since the assignment (it may still be serving it). */
#define KTASSERVER_ASSIGNED_TIMEOUT_MS 10000
/* Requests that took longer than this (ms) count as long and leave the mean alone. */
#define KTASSERVER_LONG_REQUEST_MS 5000

typedef enum KTASStatus {
  KTASSTATUS_SHUTDOWN = 0,
  KTASSTATUS_IDLE = 1,
  KTASSTATUS_ASSIGNED = 2,
  KTASSTATUS_WORKING = 3,
  KTASSTATUS_MONITOR = 4
} KTASStatus;

/* True for assigned, working and monitor: a server in such a state counts
 * against the limits, and may have served a request whose cache effects the
 * pool's other servers did not see. */
inline bool KTASStatusIsBusy(KTASStatus status) {
  return status == KTASSTATUS_ASSIGNED || status == KTASSTATUS_WORKING ||
         status == KTASSTATUS_MONITOR;
}

/* Number of KTASStatus values, and the names the monitor prints for them
 * ("down", "idle", "assigned", "working", "monitor"). */
#define KTASSTATUS_COUNT 5
extern const char* const ASStatusNames[KTASSTATUS_COUNT];

/* The fields that the selection reads for every server of a pool without
 * taking the record's lock. They live apart from the record, in a view of
 * one cache line taken from a dense store shared by all records, so that a
 * walk over thousands of servers reads consecutive lines instead of one
 * scattered page per server. The record owns its view for its whole life. */
typedef struct KTASServerView {
  std::atomic<KTASStatus> ASStatus;
  int priority;                               /* larger is preferred */
  time_t lastUse;                             /* last assignment (creation until then) */
  /* KTASServerTextKey of lastClientIP, lastSiteGUID and lastExtension,
   * changed together with the texts: equal texts always have equal keys, so
   * the selection compares texts only where the keys are equal. */
  std::atomic<uint64_t> lastClientKey;
  std::atomic<uint64_t> lastSiteKey;
  std::atomic<uint64_t> lastExtensionKey;
  struct KTASServer* pServer;                 /* the record that owns the view */
  unsigned short port;                        /* the record's port, which never changes */
} KTASServerView;

typedef struct KTASServer {
  KTASServerView* pView;                      /* owned; state, priority, last use, keys */
  struct KTCriticalSection* pCriticalSection; /* owned; guards the record */
  int SocketFd;                               /* message-center connection; -1 when none */
  char Type;                                  /* always 'S' */
  char IP[KTASSERVER_IP_SIZE];                /* host as the server announced it */
  char PoolName[KTASSERVER_POOLNAME_SIZE];    /* pool the server belongs to */
  char lastClientIP[KTASSERVER_CLIENTIP_SIZE];   /* client of the last assignment */
  char lastSiteGUID[KTASSERVER_SITEGUID_SIZE];   /* site of the last assignment */
  char lastStoreName[KTASSERVER_STORENAME_SIZE]; /* store of the last assignment */
  char lastExtension[KTASSERVER_EXTENSION_SIZE]; /* extension of the last assignment */
  unsigned short port;
  uint32_t pid;
  struct KTBuffer* pTask;                     /* owned; URI of the last assignment or "(NULL)" */
  uint64_t hits;                              /* assignments since creation or shutdown */
  uint64_t qualityHits;                       /* measured requests of 1 to 5000 ms */
  uint64_t longRequests;                      /* measured requests over 5000 ms */
  time_t lastContact;                         /* last idle report or monitor start */
  CacheInfo* pCacheInfo;                      /* owned; read position in the pool's queue */
  hrtime startingTime;                        /* start of the current or last assignment */
  uint64_t meanProcessingTime;                /* smoothed processing time, ms */
} KTASServer;

/* The key of a last-request text as a record of `size` bytes stores it (at
 * most size - 1 characters; null counts as empty): a 64-bit hash, equal for
 * equal stored texts. */
uint64_t KTASServerTextKey(const char* text, size_t size);

/* Creation and release ---------------------------------------------------- */

/* Creates an idle record for host IP (at most 255 characters) and port in
 * pool PoolName (at most 254 characters); *ppKTASSrv must be null. Returns
 * ERROR_INVALID_PARAMETER for bad or over-long arguments,
 * ERROR_MEMORY_ALLOCATION when out of memory, else the failing step's
 * status; *ppKTASSrv stays null on every failure. */
KTStatus KTASServerNew(KTASServer** ppKTASSrv, const char* PoolName, const char* IP,
                       unsigned short port, int priority, uint32_t pid, KTLog* pLog);

/* Releases the cache info, the task buffer and the lock (continuing past a
 * failed step) and the record, and nulls *ppKTASSrv; the record must already
 * be out of every list and queue. Returns the status of the last release
 * step, ERROR_INVALID_PARAMETER for a null argument. */
KTStatus KTASServerFree(KTASServer** ppKTASSrv, KTLog* pLog);

/* Locking ------------------------------------------------------------------ */

/* Enters the record's lock; *pLocked becomes 1 on success, else 0. Returns
 * the critical section's failing status. */
KTStatus KTASServerLock(KTASServer* pAS, int* pLocked, KTLog* pLog);
/* Leaves the record's lock. Returns the critical section's failing status. */
KTStatus KTASServerUnlock(KTASServer* pAS, KTLog* pLog);

/* Plain accessors (no lock) ----------------------------------------------- */

/* The last-request texts; "" for a null record. */
const char* KTASServerGetClientIP(KTASServer* pAS);
const char* KTASServerGetSiteGUID(KTASServer* pAS);
const char* KTASServerGetExtension(KTASServer* pAS);
/* Time of the last assignment; 0 for a null record. */
time_t KTASServerGetLastUse(KTASServer* pAS);

/* Sets the buffer to the host and *pPort to the port. Returns the buffer's
 * failing status. */
KTStatus KTASServerGetHost(KTASServer* pAS, struct KTBuffer* pIP, unsigned short* pPort,
                           KTLog* pLog);
/* *pPriority = the selection priority. */
KTStatus KTASServerGetPriority(KTASServer* pAS, int* pPriority, KTLog* pLog);
/* Moves the record to another pool name (taken under the record's lock).
 * Returns ERROR_INVALID_PARAMETER, name unchanged, when the name is longer
 * than 254 characters. */
KTStatus KTASServerSetPoolName(KTASServer* pAS, const char* PoolName, KTLog* pLog);

/* Hands out the record's own CacheInfo (*ppCacheInfo must be null). */
KTStatus KTASServerGetCacheInfo(KTASServer* pAS, CacheInfo** ppCacheInfo, KTLog* pLog);
/* Forward to the record's CacheInfo; return its failing status. */
KTStatus KTASServerSetCacheIndex(KTASServer* pAS, int index, KTLog* pLog);
KTStatus KTASServerGetCacheIndex(KTASServer* pAS, int* pIndex, KTLog* pLog);
KTStatus KTASServerSetOverflow(KTASServer* pAS, int overflow, KTLog* pLog);
KTStatus KTASServerGetOverflow(KTASServer* pAS, int* pOverflow, KTLog* pLog);

/* Locked reads ------------------------------------------------------------- */

/* *pStatus = the current state. Returns the lock's failing status. */
KTStatus KTASServerGetStatus(KTASServer* pAS, KTASStatus* pStatus, KTLog* pLog);
/* *pQuality = the smoothed processing time in ms. Returns the lock's failing status. */
KTStatus KTASServerGetQuality(KTASServer* pAS, uint64_t* pQuality, KTLog* pLog);

/* Matching ----------------------------------------------------------------- */

/* *pMatches = 1 when host (byte-wise, no resolution) and port equal the record's, else 0. */
KTStatus KTASServerMatches(KTASServer* pAS, const char* IP, unsigned short port, int* pMatches,
                           KTLog* pLog);
/* The same comparison between two records. */
KTStatus KTASServerMatchServer(KTASServer* pAS, KTASServer* pASMatch, int* pMatches, KTLog* pLog);
/* Records the socket's descriptor as the server's connection. Returns the
 * socket's or the lock's failing status (nothing recorded then). */
KTStatus KTASServerSetSocket(KTASServer* pAS, struct KTSocket* pSocket, KTLog* pLog);
/* *pResult = 1 when the socket's descriptor is the recorded connection, else 0. */
KTStatus KTASServerSocketMatches(KTASServer* pAS, struct KTSocket* pSocket, int* pResult,
                                 KTLog* pLog);

/* State changes (each under the record's lock) ----------------------------- */

/* working -> idle with a statistics update; monitor, down -> idle (down also
 * resets the task text); assigned -> idle only after more than 10000 ms since
 * the assignment; idle stays. Always refreshes lastContact. Returns
 * ERROR_UNKNOWN for a corrupt state, else the first failing step. */
KTStatus KTASServerSetIdle(KTASServer* pAS, KTLog* pLog);
/* idle -> assigned with the request's URI, site, store, client and
 * extension; counts a hit and stamps startingTime and lastUse. Returns
 * ERROR_UNKNOWN (nothing changed) in any other state, or the task buffer's
 * failing status (nothing changed). */
KTStatus KTASServerSetAssigned(KTASServer* pAS, const CASRequestInfo* pRequestInfo, KTLog* pLog);
/* Any state but monitor -> working; monitor stays (status 0). */
KTStatus KTASServerSetWorking(KTASServer* pAS, KTLog* pLog);
/* working -> monitor, refreshing lastContact; ERROR_UNKNOWN in any other state. */
KTStatus KTASServerStartMonitor(KTASServer* pAS, KTLog* pLog);
/* Any state -> down: no connection, hits and quality cleared, task and the
 * client, site and extension texts become "(NULL)" (the store name stays).
 * Returns the task buffer's failing status; the rest still happens. */
KTStatus KTASServerSetShutdown(KTASServer* pAS, KTLog* pLog);

/* Monitor output (server-list for-each callbacks) --------------------------- */

/* Append the record's monitor line (KTASServerMonitorServer) or its debug
 * line with the pending cache data (KTASServerMonitorDebug) to the response.
 * Variable arguments: the response KTBuffer*, then the KTLog*. Return 0, or
 * the failing status (no line is written then), which stops the for-each. */
long KTASServerMonitorServer(void* pElement, va_list args);
long KTASServerMonitorDebug(void* pElement, va_list args);

#endif /* KTASSERVER_H */
