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
 * Lock/Unlock takes the list's non-recursive critical section, so adds,
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

struct KTBuffer;
struct KTCriticalSection;
struct KTMemoryManager;
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

typedef struct KTASServerList {
  struct KTMemoryManager* pMemMgrSys;         /* owned; storage of the list */
  KTList* pServers;                           /* KTASServer records in the order added */
  struct KTCriticalSection* pCriticalSection; /* owned; guards the list and the selection */
  /* The views of the records of pServers in the same order as a plain
   * array, kept in step by add, remove and cleanup, so that the selection
   * and the lookup by host and port walk the pool without a call per
   * element and reach a record (through the view's pServer) only for the
   * server they settle on. Guarded by the list lock. */
  KTASServerView** ppOrder;
  int orderCount;
  int orderCapacity;
} KTASServerList;

/* Creates an empty list (*ppSrvList must be null). Returns
 * ERROR_MEMORY_ALLOCATION or the failing step's status; nothing is left
 * allocated then. */
KTStatus KTASServerListNew(KTASServerList** ppSrvList, KTLog* pLog);
/* Releases the list storage, the memory manager and the lock (not the
 * records) and nulls *ppSrvList. Returns 0, ERROR_INVALID_PARAMETER for a
 * null argument. */
KTStatus KTASServerListFree(KTASServerList** ppSrvList, KTLog* pLog);
/* Frees every record of the list (last to first) and empties it. Returns the
 * first failing free; the records not yet freed stay listed then. */
KTStatus KTASServerListCleanup(KTASServerList* pSrvList, KTLog* pLog);

/* Appends the record unless one with the same host and port is listed
 * (ERROR_UNKNOWN, list unchanged). Returns the list's failing status. */
KTStatus KTASServerListAdd(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog);
/* Removes the record (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT
 * when it is not listed. */
KTStatus KTASServerListRemove(KTASServerList* pSrvList, KTASServer* pAS, KTLog* pLog);

/* *ppASServer (must be null) = the first record with exactly this host and
 * port, or stays null; status 0 in both cases. The record may be removed and
 * freed by another thread afterwards: callers that change the list and use
 * the result must be the same thread (the message-center thread). */
KTStatus KTASServerListGetMatching(KTASServerList* pSrvList, const char* hostName,
                                   unsigned short port, KTASServer** ppASServer, KTLog* pLog);
/* *ppServer (must be null) = the first record whose connection is the
 * socket's descriptor, or stays null; status 0 in both cases. */
KTStatus KTASServerListGetMatchingForSocket(KTASServerList* pSrvList, struct KTSocket* pSocket,
                                            KTASServer** ppServer, KTLog* pLog);

/* Calls pIterator for each record in list order with the extra arguments,
 * under the list lock; returns the first non-zero result. */
KTStatus KTASServerListForEach(KTASServerList* pSrvList, KTListIterator pIterator, KTLog* pLog,
                               ...);
/* *pCount = the number of records. Returns the list's failing status. */
KTStatus KTASServerListSize(KTASServerList* pSrvList, int* pCount, KTLog* pLog);

/* Enter and leave the list's lock. Return the critical section's failing status. */
KTStatus KTASServerListLock(KTASServerList* pSrvList, KTLog* pLog);
KTStatus KTASServerListUnlock(KTASServerList* pSrvList, KTLog* pLog);

/* Chooses an idle server for the request and marks it assigned; pIP gets its
 * host and *pPort its port. Returns 0; ERROR_NO_SUCH_ELEMENT when no server
 * is idle; ERROR_REQUESTROUTER_LIMIT_EXCEEDED when a limit refuses the
 * request; ERROR_INVALID_PARAMETER for a null pointer; any other status is an
 * internal failure. On a failing assignment the outputs may already be set:
 * look at the status, not at the outputs. */
KTStatus KTASServerListGetIdle(KTASServerList* pSrvList, const CASRequestInfo* pASRequestInfo,
                               VXStrategyInfo* pStrategyInfo, struct KTBuffer* pIP,
                               unsigned short* pPort, KTLog* pLog);

/* List destructor callback: frees the record (variable argument: the KTLog*). */
long KTASServerDestructor(void** ppElement, va_list args);

#endif /* KTASSERVERLIST_H */
