/* KTASServerList.h - the locked list of one pool's application servers and the idle-server selection.
 *
 * Each pool owns one list. Besides adding, removing and finding servers it
 * chooses which idle server receives the next web request
 * (KTASServerListGetIdle): among the idle servers of the highest priority,
 * after the per-extension, per-client and per-site limits of the request,
 * by client affinity, site affinity or least recent use; the chosen server
 * is marked assigned before the list lock is released, so the next
 * selection already counts it as in use.
 *
 * Every operation returns a KTStatus, rejects null pointers (and non-null
 * output slots) with ERROR_INVALID_PARAMETER and takes the log last.
 *
 * Thread safety: every operation except New, Free and the explicit
 * Lock/Unlock takes the list's non-recursive lock (KTASServerListMutex), so adds,
 * removes, lookups, for-each, size and the whole selection-with-assignment
 * exclude each other. Never call a list operation while holding the list
 * lock (KTASServerListLock), and never call one of this list's operations
 * from a for-each callback: both would deadlock. Lock order: server list,
 * then server record, then cache queue. The strategy counters are atomics
 * that the monitor may read at any time.
 */
#ifndef KTASSERVERLIST_H
#define KTASSERVERLIST_H

#include <atomic>

#include "KTASServer.h"
#include "KTList.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"

struct KTBuffer;
struct KTSocket;
class CASRequestInfo;

/* Per-pool counters of the selection; incremented by KTASServerListGetIdle
 * with relaxed atomic adds and printed by the pool's monitor line. */
typedef struct VXStrategyInfo {
  std::atomic<int> byClientIP;         /* chosen because it last served the same client */
  std::atomic<int> bySiteGuid;         /* chosen because it last served the same site */
  std::atomic<int> byLastUse;          /* chosen as the least recently used */
  std::atomic<int> limitByExtension;   /* refused by the per-extension limit */
  std::atomic<int> limitBySite;        /* refused by the pool's per-site limit */
  std::atomic<int> limitBySpecialSite; /* refused by a site's own limit */
  std::atomic<int> limitByClient;      /* refused by the per-client limit */
} VXStrategyInfo;

typedef struct KTASServerList KTASServerList;

/* The list's lock, named by the lock annotations of the operations below. */
KTMutex& KTASServerListMutex(KTASServerList* pSrvList);

/* Creates an empty list (*ppSrvList must be null). Returns
 * ERROR_MEMORY_ALLOCATION or the failing step's status; nothing is left
 * allocated then. */
KTStatus KTASServerListNew(KTASServerList** ppSrvList, KTLog* pLog);
/* Releases the list storage and the lock (not the records) and nulls
 * *ppSrvList. Returns 0, ERROR_INVALID_PARAMETER for a null argument. */
KTStatus KTASServerListFree(KTASServerList** ppSrvList, KTLog* pLog);
/* Frees every record of the list (last to first) and empties it. Returns the
 * first failing free; the records not yet freed stay listed then (the one
 * whose free failed is released all the same and leaves the list). */
KTStatus KTASServerListCleanup(KTASServerList* pSrvList, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* Appends the record unless one with the same host and port is listed
 * (ERROR_UNKNOWN, list unchanged). Returns the list's failing status. */
KTStatus KTASServerListAdd(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));
/* Removes the record (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT
 * when it is not listed; the others keep their order. */
KTStatus KTASServerListRemove(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* *ppASServer (must be null) = the first record with exactly this host and
 * port, or stays null; status 0 in both cases. The record may be removed and
 * freed by another thread afterwards: callers that change the list and use
 * the result must be the same thread (the message-center thread). */
KTStatus KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                   unsigned short port, KTASServer** ppASServer, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));
/* *ppServer (must be null) = the first record whose connection is the
 * socket's descriptor, or stays null; status 0 in both cases. */
KTStatus KTASServerListGetMatchingForSocket(KTASServerList* pSrvList, struct KTSocket* pSocket,
                                            KTASServer** ppServer, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* Calls pIterator for each record in the order added with the extra
 * arguments (a fresh copy for each record), under the list lock; stops at
 * and returns the first non-zero result (ERROR_UNKNOWN for one that is not
 * a status). */
KTStatus KTASServerListForEach(KTASServerList* pSrvList, KTListIterator pIterator, KTLog* pLog,
                               ...) KT_EXCLUDES(KTASServerListMutex(pSrvList));
/* *pCount = the number of records. Returns the lock's failing status. */
KTStatus KTASServerListSize(KTASServerList* pSrvList, int* pCount, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* Enter and leave the list's lock. Return the lock's failing status. */
KTStatus KTASServerListLock(KTASServerList* pSrvList, KTLog* pLog)
    KT_ACQUIRE(KTASServerListMutex(pSrvList));
KTStatus KTASServerListUnlock(KTASServerList* pSrvList, KTLog* pLog)
    KT_RELEASE(KTASServerListMutex(pSrvList));

/* Chooses an idle server for the request and marks it assigned; pIP gets its
 * host and *pPort its port. Returns 0; ERROR_NO_SUCH_ELEMENT when no server
 * is idle; ERROR_REQUESTROUTER_LIMIT_EXCEEDED when a limit refuses the
 * request; ERROR_INVALID_PARAMETER for a null pointer; any other status is an
 * internal failure. On a failing assignment the outputs may already be set:
 * look at the status, not at the outputs. */
KTStatus KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               VXStrategyInfo* pStrategyInfo, struct KTBuffer* pIP,
                               unsigned short* pPort, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* Runs the selection of KTASServerListGetIdle for the request under the same
 * locks, but assigns nothing and counts nothing, and appends to pText what it
 * found, one "key value..." line each (the lines after "pool" of the monitor's
 * explain answer, KTMonitorRequestHandler.h). Status 0 also when a limit
 * refuses or no server is idle: the outcome line says so. */
KTStatus KTASServerListExplain(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               struct KTBuffer* pText, KTLog* pLog)
    KT_EXCLUDES(KTASServerListMutex(pSrvList));

/* List destructor callback: frees the record (variable argument: the KTLog*). */
long KTASServerDestructor(void** ppElement, va_list args);

#endif /* KTASSERVERLIST_H */
