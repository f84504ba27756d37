/* VXASPoolList.h - the router's list of pools, guarded by a reader-writer lock.
 *
 * The list holds the pools of one router instance in creation order and owns
 * them: ASPoolListRemoveEmptyPool and ASPoolListRemoveMC free the pools they
 * remove, ASPoolListFree frees every pool still listed.
 *
 * Every operation returns a KTStatus, takes the log last and rejects null
 * pointers (and non-null output slots) with ERROR_INVALID_PARAMETER and a
 * "wrong arguments passed to procedure" line.
 *
 * Thread safety (reader-writer lock inside the list, ASPoolListMutex):
 *  - One thread changes the list, the writer: the thread that created the
 *    list until another records itself with ASPoolListSetWriter (the
 *    message-center listener does when its thread starts). ASPoolListAdd,
 *    ASPoolListRemove, ASPoolListRemoveEmptyPool and ASPoolListRemoveMC take
 *    the write lock themselves; the caller must not hold the list's lock.
 *    A pool is freed only while the write lock is held.
 *  - The lookups (ASPoolListGetMatching, ASPoolListGetMatchingServer,
 *    ASPoolListGetMatchingForSocket) and ASPoolListForEach take no lock:
 *    they run on the writer thread, which may read without the lock since
 *    nobody else changes the list, or in a thread that holds the read lock
 *    (ASPoolListLockRead, or KTReaderGuard on ASPoolListMutex) across the
 *    lookup or walk AND every use of the pools and servers it yields, e.g.
 *    the get-server thread across lookup, selection and ASPoolAddTimeout, the
 *    monitor across the whole walk. The debugging build ends the process
 *    when another thread calls them without the lock.
 *  - Never take the lock twice in one thread (not even for reading: a
 *    waiting writer is preferred and would block the second read), never
 *    call a changing operation while holding it, and keep read sections
 *    short (no network I/O under it: build a reply, release, then send).
 *  - While a thread holds the lock its cancellation is disabled, as inside
 *    a critical section, so a cancelled thread never leaves it held.
 * Lock order: pool list, then peer list / server list, then records, then
 * cache queues.
 */
#ifndef VXASPOOLLIST_H
#define VXASPOOLLIST_H

#include <stdarg.h>

#include "KTList.h"
#include "KTLock.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"
#include "VXASPool.h"

struct KTSocket;

typedef struct ASPoolList ASPoolList;

/* Creates an empty list (*ppPoolList must be null) whose writer is the
 * calling thread. Returns ERROR_MEMORY_ALLOCATION, or ERROR_UNKNOWN when the
 * lock cannot be created, or the failing step's status; nothing is left
 * allocated then. */
KTStatus ASPoolListNew(ASPoolList** ppPoolList, KTLog* pLog);
/* Frees every pool still listed, then the list; *ppPoolList becomes null.
 * No other thread may use the list any more. Returns the last failing
 * step's status. */
KTStatus ASPoolListFree(ASPoolList** ppPoolList, KTLog* pLog);

/* Locking ----------------------------------------------------------------- */

/* The list's lock: for KTReaderGuard in class code and for the annotations below. */
KTSharedMutex& ASPoolListMutex(ASPoolList* pPoolList);

/* Take the read or the write lock. Return ERROR_UNKNOWN (logged) when the
 * lock cannot be taken; nothing is held then. */
KTStatus ASPoolListLockRead(ASPoolList* pPoolList, KTLog* pLog)
    KT_ACQUIRE_SHARED(ASPoolListMutex(pPoolList));
KTStatus ASPoolListLockWrite(ASPoolList* pPoolList, KTLog* pLog)
    KT_ACQUIRE(ASPoolListMutex(pPoolList));
/* Releases the lock this thread took with ASPoolListLockRead or
 * ASPoolListLockWrite. Returns ERROR_UNKNOWN (logged) on failure. */
KTStatus ASPoolListUnlock(ASPoolList* pPoolList, KTLog* pLog)
    KT_RELEASE_GENERIC(ASPoolListMutex(pPoolList));
/* Records the calling thread as the list's writer (see above). */
KTStatus ASPoolListSetWriter(ASPoolList* pPoolList, KTLog* pLog);

/* Changes (write lock taken inside) ---------------------------------------- */

/* Appends the pool. Returns the list's failing status. */
KTStatus ASPoolListAdd(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog)
    KT_EXCLUDES(ASPoolListMutex(pPoolList));
/* Removes the pool (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT
 * when it is not listed. */
KTStatus ASPoolListRemove(ASPoolList* pPoolList, ASPool* pPool, KTLog* pLog)
    KT_EXCLUDES(ASPoolListMutex(pPoolList));
/* When the pool has neither servers nor peers, removes it from the list,
 * frees it and nulls *ppPool; otherwise does nothing. Returns the failing
 * step's status. */
KTStatus ASPoolListRemoveEmptyPool(ASPoolList* pPoolList, ASPool** ppPool, KTLog* pLog)
    KT_EXCLUDES(ASPoolListMutex(pPoolList));
/* Removes the peer from every pool, from the last pool to the first, and
 * removes and frees each pool left empty. Returns the last failing status;
 * the walk continues past failures. */
KTStatus ASPoolListRemoveMC(ASPoolList* pPoolList, KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(ASPoolListMutex(pPoolList));

/* Lookups and walks (no lock taken: the writer thread, or a holder of the
 * read lock; see above) --------------------------------------------------- */

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
/* Calls iterator(pool, extra arguments) for each pool in order, taking no
 * lock: the caller is the writer thread or holds the read lock (exclusively
 * also does) across the walk, and the iterator takes no pool-list lock nor
 * changes the list. The first non-zero result stops the walk, is logged and
 * returned. */
KTStatus ASPoolListForEach(ASPoolList* pPoolList, KTListIterator pIterator, KTLog* pLog, ...);

/* *pCount = the number of pools. Takes the read lock: the caller must not
 * hold the list's lock. */
KTStatus ASPoolListSize(ASPoolList* pPoolList, int* pCount, KTLog* pLog)
    KT_EXCLUDES(ASPoolListMutex(pPoolList));

#endif /* VXASPOOLLIST_H */
