/* KTMCServerList.h - a locked list of peer routers (KTMCServer records).
 *
 * The router keeps one global list that owns every peer record (freeing the
 * list frees them); each pool keeps a list of the peers that share it,
 * holding the same records without owning them (KTMCServerListClear drops
 * them before such a list is freed). A list never holds two records with the
 * same host and port.
 *
 * Every operation returns a KTStatus, takes the log last and rejects null
 * pointers (and non-null output slots) with ERROR_INVALID_PARAMETER.
 *
 * Thread safety: the list's lock (a non-recursive KTMutex, first in the
 * lock order: peer list, then peer record, then cache queue) guards its
 * element list; additions, removals, searches, the size and the copy an
 * iteration walks take it. Searches call KTMCServerMatches and
 * KTMCServerSocketMatches, which take the record's lock, while holding it.
 * KTMCServerListForEach and KTMCServerListWackup call their callbacks on a
 * copy of the list taken under the lock, with the lock released, so a
 * callback may send to a peer (network I/O) or use the list itself without
 * holding up other users of the list. Records are never freed while the
 * router runs, so the copy stays valid. KTMCServerListAdd searches for a
 * duplicate and appends within one hold of the lock. No operation may be
 * called with the list's lock held (KT_EXCLUDES).
 */
#ifndef KTMCSERVERLIST_H
#define KTMCSERVERLIST_H

#include <stdarg.h>

#include "KTList.h"
#include "KTLock.h"
#include "KTLog.h"
#include "KTMCServer.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"

struct KTSocket;

typedef struct KTMCServerList KTMCServerList;

/* The list's lock, named by the lock annotations below; never taken by hand. */
KTMutex* KTMCServerListMutex(KTMCServerList* pList);

/* Creates an empty list (*ppList must be null). Returns
 * ERROR_MEMORY_ALLOCATION or the failing step's status; nothing is left
 * allocated then. */
KTStatus KTMCServerListNew(KTMCServerList** ppList, KTLog* pLog);
/* Frees every record still listed (KTMCServerDestructor), then the list;
 * *ppList becomes null. A list that does not own its records must be
 * emptied with KTMCServerListClear first. Returns the first failing step's
 * status. */
KTStatus KTMCServerListFree(KTMCServerList** ppList, KTLog* pLog);
/* Drops every record from the list without freeing any. Returns the lock's
 * failing status. */
KTStatus KTMCServerListClear(KTMCServerList* pList, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));

/* Appends the record unless one with the same host and port is listed
 * (ERROR_UNKNOWN, logged, list unchanged). Returns the failing step's status. */
KTStatus KTMCServerListAdd(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));
/* Removes the record (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT,
 * without a log line, when it is not listed. */
KTStatus KTMCServerListRemove(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));

/* *ppMC (must be null) = the first record that KTMCServerMatches host and
 * port, or stays null; status 0 in both cases. */
KTStatus KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                   KTMCServer** ppMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));
/* *ppMC (must be null) = the first record whose recorded connection is the
 * socket's descriptor, or stays null; status 0 in both cases. */
KTStatus KTMCServerListGetMatchingForSocket(KTMCServerList* pList, struct KTSocket* pSocket,
                                            KTMCServer** ppMC, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));

/* Calls iterator(record, extra arguments) for each record in list order,
 * without the list's lock held (on the copy taken under it); stops at and
 * returns the first non-zero result (ERROR_UNKNOWN for one that is no
 * KTStatus). Returns ERROR_MEMORY_ALLOCATION when the copy cannot be made. */
KTStatus KTMCServerListForEach(KTMCServerList* pList, KTListIterator iterator, KTLog* pLog, ...)
    KT_EXCLUDES(*KTMCServerListMutex(pList));
/* *pCount = the number of records. */
KTStatus KTMCServerListSize(KTMCServerList* pList, int* pCount, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));
/* Wakes the send thread of every record, without the list's lock held (on
 * the copy taken under it). Returns the first failing wake-up's status; the
 * others are still woken. */
KTStatus KTMCServerListWackup(KTMCServerList* pList, KTLog* pLog)
    KT_EXCLUDES(*KTMCServerListMutex(pList));

/* List destructor callback: frees the record (variable argument: the KTLog*). */
long KTMCServerDestructor(void** ppElement, va_list args);

#endif /* KTMCSERVERLIST_H */
