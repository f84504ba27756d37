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
 * Thread safety: each record has its own non-recursive lock
 * (KTASServerMutex). State changes, GetStatus, GetQuality, GetFigures,
 * GetText, TextEquals, SetPoolName, SetSocket, SocketMatches, both monitor
 * lines (which take the cache queue's lock inside it) and the test seams
 * take it. The last-request text accessors need it held by the caller. Host,
 * port, pid, priority, the cache info and the view never change after
 * creation and are read without it. For the selection, which walks whole
 * pools for every request, the view (state, priority, last use, keys of
 * the last-request texts) holds atomics that are read without the record's
 * lock. Lock order: server list, then record, then cache queue.
 */
#ifndef KTASSERVER_H
#define KTASSERVER_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"
#include "KTUtils.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTSocket;
class CASRequestInfo;
class KTMutex;

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

typedef struct KTASServer KTASServer;

/* The record's lock, named by the lock annotations of the operations below. */
KTMutex& KTASServerMutex(KTASServer* pAS);

/* A consistent copy of a record's state and figures (KTASServerGetFigures). */
typedef struct KTASServerFigures {
  KTASStatus state;
  char type;                   /* always 'S' */
  int socketFd;                /* message-center connection; -1 when none */
  uint32_t pid;
  uint64_t hits;               /* assignments since creation or shutdown */
  uint64_t qualityHits;        /* measured requests of 1 to 5000 ms */
  uint64_t longRequests;       /* measured requests over 5000 ms */
  uint64_t meanProcessingTime; /* smoothed processing time, ms */
  time_t lastContact;          /* last idle report or monitor start */
  time_t lastUse;              /* last assignment (creation until then) */
  hrtime startingTime;         /* start of the current or last assignment */
} KTASServerFigures;

/* The texts of a record that KTASServerGetText copies. */
typedef enum KTASServerText {
  KTASSERVER_TEXT_POOLNAME,
  KTASSERVER_TEXT_TASK,
  KTASSERVER_TEXT_CLIENTIP,
  KTASSERVER_TEXT_SITEGUID,
  KTASSERVER_TEXT_STORENAME,
  KTASSERVER_TEXT_EXTENSION
} KTASServerText;

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
 * the lock's failing status. */
KTStatus KTASServerLock(KTASServer* pAS, int* pLocked, KTLog* pLog)
    KT_ACQUIRE(KTASServerMutex(pAS));
/* Leaves the record's lock. Returns the lock's failing status. */
KTStatus KTASServerUnlock(KTASServer* pAS, KTLog* pLog) KT_RELEASE(KTASServerMutex(pAS));

/* Plain accessors ----------------------------------------------------------- */

/* Host and port, which never change after creation; "" and 0 for a null record. */
const char* KTASServerGetIP(const KTASServer* pAS);
unsigned short KTASServerGetPort(const KTASServer* pAS);
/* The last-request texts; "" for a null record. The caller holds the
 * record's lock (or knows that no other thread changes the record). */
const char* KTASServerGetClientIP(KTASServer* pAS) KT_REQUIRES(KTASServerMutex(pAS));
const char* KTASServerGetSiteGUID(KTASServer* pAS) KT_REQUIRES(KTASServerMutex(pAS));
const char* KTASServerGetExtension(KTASServer* pAS) KT_REQUIRES(KTASServerMutex(pAS));
/* Time of the last assignment (creation until then); 0 for a null record. No lock. */
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
KTStatus KTASServerSetPoolName(KTASServer* pAS, const char* PoolName, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));

/* Hands out the record's own CacheInfo (*ppCacheInfo must be null). */
KTStatus KTASServerGetCacheInfo(KTASServer* pAS, CacheInfo** ppCacheInfo, KTLog* pLog);
/* Forward to the record's CacheInfo; return its failing status. */
KTStatus KTASServerSetCacheIndex(KTASServer* pAS, int index, KTLog* pLog);
KTStatus KTASServerGetCacheIndex(KTASServer* pAS, int* pIndex, KTLog* pLog);
KTStatus KTASServerSetOverflow(KTASServer* pAS, int overflow, KTLog* pLog);
KTStatus KTASServerGetOverflow(KTASServer* pAS, int* pOverflow, KTLog* pLog);

/* Locked reads (each returns the lock's failing status) --------------------- */

/* *pStatus = the current state. */
KTStatus KTASServerGetStatus(KTASServer* pAS, KTASStatus* pStatus, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
/* *pQuality = the smoothed processing time in ms. */
KTStatus KTASServerGetQuality(KTASServer* pAS, uint64_t* pQuality, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
/* *pFigures = the state and figures, all read under one hold of the lock. */
KTStatus KTASServerGetFigures(KTASServer* pAS, KTASServerFigures* pFigures, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
/* Sets the buffer to a copy of one of the record's texts. Returns
 * ERROR_INVALID_PARAMETER for an unknown `which`, or the buffer's failing
 * status. */
KTStatus KTASServerGetText(KTASServer* pAS, KTASServerText which, struct KTBuffer* pText,
                           KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));
/* *pMatches = 1 when the record's text `which` equals `text` byte-wise,
 * else 0; *pBusy (when not null) = 1 when the server is in use
 * (KTASStatusIsBusy) at that moment, else 0. Both come from one hold of the
 * lock. Returns ERROR_INVALID_PARAMETER for an unknown `which`. */
KTStatus KTASServerTextEquals(KTASServer* pAS, KTASServerText which, const char* text,
                              int* pMatches, int* pBusy, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));

/* Matching ----------------------------------------------------------------- */

/* *pMatches = 1 when host (byte-wise, no resolution) and port equal the record's, else 0. */
KTStatus KTASServerMatches(KTASServer* pAS, const char* IP, unsigned short port, int* pMatches,
                           KTLog* pLog);
/* The same comparison between two records. */
KTStatus KTASServerMatchServer(KTASServer* pAS, KTASServer* pASMatch, int* pMatches, KTLog* pLog);
/* Records the socket's descriptor as the server's connection. Returns the
 * socket's or the lock's failing status (nothing recorded then). */
KTStatus KTASServerSetSocket(KTASServer* pAS, struct KTSocket* pSocket, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
/* *pResult = 1 when the socket's descriptor is the recorded connection, else
 * 0 (also on failure). Returns the socket's or the lock's failing status. */
KTStatus KTASServerSocketMatches(KTASServer* pAS, struct KTSocket* pSocket, int* pResult,
                                 KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));

/* State changes (each under the record's lock; each returns the lock's
 * failing status as well) -------------------------------------------------- */

/* working -> idle with a statistics update; monitor, down -> idle (down also
 * resets the task text); assigned -> idle only after more than 10000 ms since
 * the assignment; idle stays. Always refreshes lastContact. Returns
 * ERROR_UNKNOWN for a corrupt state, else the task buffer's failing status. */
KTStatus KTASServerSetIdle(KTASServer* pAS, KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));
/* idle -> assigned with the request's URI, site, store, client and
 * extension; counts a hit and stamps startingTime and lastUse. Returns
 * ERROR_UNKNOWN (nothing changed) in any other state, or the task buffer's
 * failing status (nothing changed). */
KTStatus KTASServerSetAssigned(KTASServer* pAS, const CASRequestInfo* pRequestInfo, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
/* Any state but monitor -> working; monitor stays (status 0). startingTime
 * stays, so that the measured time runs from the assignment. */
KTStatus KTASServerSetWorking(KTASServer* pAS, KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));
/* working -> monitor, refreshing lastContact; ERROR_UNKNOWN (unchanged) in any other state. */
KTStatus KTASServerStartMonitor(KTASServer* pAS, KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));
/* Any state -> down: no connection, hits and quality cleared, task and the
 * client, site and extension texts become "(NULL)" (the store name stays).
 * Returns the task buffer's failing status; the rest still happens. */
KTStatus KTASServerSetShutdown(KTASServer* pAS, KTLog* pLog) KT_EXCLUDES(KTASServerMutex(pAS));

/* Monitor output (server-list for-each callbacks) --------------------------- */

/* Append the record's monitor line (KTASServerMonitorServer) or its debug
 * line with the pending cache data (KTASServerMonitorDebug) to the response.
 * Variable arguments: the response KTBuffer*, then the KTLog*. Return 0, or
 * the failing status (no line is written then), which stops the for-each.
 * They take the record's lock. */
long KTASServerMonitorServer(void* pElement, va_list args);
long KTASServerMonitorDebug(void* pElement, va_list args);

/* Test seams ----------------------------------------------------------------- */

/* They put a record, under its lock, into conditions that the operations
 * above never produce, so that the defensive paths can be tested: any state
 * value (also one outside KTASStatus) with the four counters of *pFigures
 * (hits, qualityHits, longRequests, meanProcessingTime; the rest is
 * ignored), and keys of the last-request texts that differ from the texts'
 * own. The router never calls them. Return the lock's failing status. */
KTStatus KTASServerTestSetFigures(KTASServer* pAS, const KTASServerFigures* pFigures, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));
KTStatus KTASServerTestSetKeys(KTASServer* pAS, uint64_t clientKey, uint64_t siteKey,
                               uint64_t extensionKey, KTLog* pLog)
    KT_EXCLUDES(KTASServerMutex(pAS));

#endif /* KTASSERVER_H */
