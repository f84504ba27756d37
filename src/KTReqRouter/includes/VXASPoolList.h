/* VXASPoolList.h - the router's list of pools, guarded by a reader-writer lock.
 *
 * The list holds the pools of one router instance in creation order and owns
 * them: ASPoolListRemoveEmptyPool and ASPoolListRemoveMC free the pools they
 * remove, ASPoolListFree frees every pool still listed.
 *
 * Every operation returns a KTStatus, takes the log last and rejects null
 * pointers (and non-null output slots) with ERROR_INVALID_PARAMETER.
 *
 * Thread safety (reader-writer lock inside the list):
 *  - Changing the list (adding, removing or freeing pools) happens in one
 *    thread at a time: the message-center listener while the router runs,
 *    the instance thread before the listeners start. ASPoolListAdd,
 *    ASPoolListRemove, ASPoolListRemoveEmptyPool and ASPoolListRemoveMC take
 *    the write lock themselves; the caller must not hold the list's lock.
 *    A pool is freed only while the write lock is held.
 *  - The lookups (ASPoolListGetMatching, ASPoolListGetMatchingServer,
 *    ASPoolListGetMatchingForSocket) and ASPoolListForEach take no lock.
 *    Every other thread (get-server, monitor) must hold the read lock
 *    (ASPoolListLockRead or ASPoolListReadGuard) across the lookup or walk
 *    AND every use of the pools and servers it yields, e.g. the get-server
 *    thread across lookup, selection and ASPoolAddTimeout, the monitor
 *    across the whole walk. The changing thread itself may read without the
 *    lock, since nobody else changes the list.
 *  - Never take the lock twice in one thread (not even for reading: a
 *    waiting writer is preferred and would block the second read), never
 *    call a changing operation while holding it, and keep read sections
 *    short (no network I/O under it: build a reply, release, then send).
 *  - While a thread holds the lock, its cancellation is disabled, as inside
 *    a critical section, so a cancelled thread never leaves it held.
 * Lock order: pool list, then peer list / server list, then records, then
 * cache queues.
 */
#ifndef VXASPOOLLIST_H
#define VXASPOOLLIST_H

#include <pthread.h>
#include <stdarg.h>

#include "KTList.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "VXASPool.h"

struct KTMemoryManager;
struct KTSocket;

typedef struct ASPoolList {
  struct KTMemoryManager* pMemMgrSys; /* owned; storage of the list */
  KTList* pPools;                     /* ASPool records in creation order */
  pthread_rwlock_t rwLock;            /* readers: lookups and walks; writer: changes */
} ASPoolList;

/* Creates an empty list (*ppPoolList must be null). Returns
 * ERROR_MEMORY_ALLOCATION or the failing step's status; nothing is left
 * allocated then. */
KTStatus ASPoolListNew(ASPoolList** ppPoolList, KTLog* pLog);
/* Frees every pool still listed, then the list; *ppPoolList becomes null.
 * No other thread may use the list any more. Returns the last failing
 * step's status. */
KTStatus ASPoolListFree(ASPoolList** ppPoolList, KTLog* pLog);

/* Locking ----------------------------------------------------------------- */

/* Take the read or the write lock. Return ERROR_UNKNOWN (logged) when the
 * lock cannot be taken; nothing is held then. */
KTStatus ASPoolListLockRead(ASPoolList* pPoolList, KTLog* pLog);
KTStatus ASPoolListLockWrite(ASPoolList* pPoolList, KTLog* pLog);
/* Releases the lock taken by this thread. Returns ERROR_UNKNOWN (logged) on failure. */
KTStatus ASPoolListUnlock(ASPoolList* pPoolList, KTLog* pLog);

/* Changes (write lock taken inside) ---------------------------------------- */

/* Appends the pool. Returns the list's failing status. */
KTStatus ASPoolListAdd(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog);
/* Removes the pool (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT
 * when it is not listed. */
KTStatus ASPoolListRemove(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog);
/* When the pool has neither servers nor peers, removes it from the list,
 * frees it and nulls *ppPool; otherwise does nothing. Returns the failing
 * step's status. */
KTStatus ASPoolListRemoveEmptyPool(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog);
/* Removes the peer from every pool, from the last pool to the first, and
 * removes and frees each pool left empty. Returns the last failing status;
 * the walk continues past failures. */
KTStatus ASPoolListRemoveMC(ASPoolList* pPoolList, KTMCServer* pMC, KTLog* pLog);

/* Lookups and walks (no lock taken; see above) ----------------------------- */

/* *ppPool (must be null) = the first pool with that name, or stays null; status 0 in both cases. */
KTStatus ASPoolListGetMatching(ASPoolList* pPoolList, const char* PoolName, ASPool** ppPool,
                               KTLog* pLog);
/* The first pool holding a server with that host and port, and the server;
 * both stay null (status 0) when none does. */
KTStatus ASPoolListGetMatchingServer(ASPoolList* pPoolList, const char* IP, unsigned short port,
                                     ASPool** ppPool, KTASServer** ppServer, KTLog* pLog);
/* The first pool holding a server bound to the connection, and the server;
 * both stay null (status 0) when none does. */
KTStatus ASPoolListGetMatchingForSocket(ASPoolList* pPoolList, struct KTSocket* pSocket,
                                        ASPool** ppPool, KTASServer** ppServer, KTLog* pLog);
/* Calls iterator(pool, extra arguments) for each pool in order; the first
 * non-zero result stops the walk, is logged and returned. */
KTStatus ASPoolListForEach(ASPoolList* pPoolList, KTListIterator pIterator, KTLog* pLog, ...);
/* *pCount = the number of pools. */
KTStatus ASPoolListSize(ASPoolList* pPoolList, int* pCount, KTLog* pLog);

/* Scope guard for class code: takes the read lock on construction and
 * releases it on destruction. Check locked() before relying on it. */
class ASPoolListReadGuard {
 public:
  ASPoolListReadGuard(ASPoolList* pPoolList, KTLog* pLog)
      : mpPoolList(pPoolList), mpLog(pLog), mLocked(ASPoolListLockRead(pPoolList, pLog) == 0) {}
  ~ASPoolListReadGuard() {
    if (mLocked) ASPoolListUnlock(mpPoolList, mpLog);
  }
  ASPoolListReadGuard(const ASPoolListReadGuard&) = delete;
  ASPoolListReadGuard& operator=(const ASPoolListReadGuard&) = delete;
  bool locked() const { return mLocked; }

 private:
  ASPoolList* mpPoolList;
  KTLog* mpLog;
  bool mLocked;
};

#endif /* VXASPOOLLIST_H */
