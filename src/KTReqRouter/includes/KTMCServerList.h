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
 * Thread safety: the list's non-recursive critical section guards its
 * element list; additions, removals, searches and the copy an iteration
 * walks take it. KTMCServerListForEach and KTMCServerListWackup call their
 * callbacks on a copy of the list taken under the lock, with the lock
 * released, so a callback may send to a peer (network I/O) without holding
 * up other users of the list. Records are never freed while the router runs,
 * so the copy stays valid. KTMCServerListAdd searches for a duplicate and
 * appends within one hold of the lock (it never enters it twice). Lock
 * order: peer list, then peer record, then cache queue.
 */
#ifndef KTMCSERVERLIST_H
#define KTMCSERVERLIST_H

#include <stdarg.h>

#include "KTList.h"
#include "KTLog.h"
#include "KTMCServer.h"
#include "KTStatus.h"

struct KTCriticalSection;
struct KTMemoryManager;
struct KTSocket;

typedef struct KTMCServerList {
  struct KTMemoryManager* pMemMgrSys;         /* owned; storage of the list */
  KTList* pServers;                           /* KTMCServer records in the order added */
  struct KTCriticalSection* pCriticalSection; /* owned; guards pServers */
} KTMCServerList;

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
KTStatus KTMCServerListClear(KTMCServerList* pList, KTLog* pLog);

/* Appends the record unless one with the same host and port is listed
 * (ERROR_UNKNOWN, logged, list unchanged). Returns the failing step's status. */
KTStatus KTMCServerListAdd(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog);
/* Removes the record (by identity; not freed). Returns ERROR_NO_SUCH_ELEMENT,
 * without a log line, when it is not listed. */
KTStatus KTMCServerListRemove(KTMCServerList* pList, KTMCServer* pMC, KTLog* pLog);

/* *ppMC (must be null) = the first record that KTMCServerMatches host and
 * port, or stays null; status 0 in both cases. */
KTStatus KTMCServerListGetMatching(KTMCServerList* pList, const char* host, unsigned short port,
                                   KTMCServer** ppMC, KTLog* pLog);
/* *ppMC (must be null) = the first record whose recorded connection is the
 * socket's descriptor, or stays null; status 0 in both cases. */
KTStatus KTMCServerListGetMatchingForSocket(KTMCServerList* pList, struct KTSocket* pSocket,
                                            KTMCServer** ppMC, KTLog* pLog);

/* Calls iterator(record, extra arguments) for each record in list order;
 * stops at and returns the first non-zero result. */
KTStatus KTMCServerListForEach(KTMCServerList* pList, KTListIterator iterator, KTLog* pLog, ...);
/* *pCount = the number of records. */
KTStatus KTMCServerListSize(KTMCServerList* pList, int* pCount, KTLog* pLog);
/* Wakes the send thread of every record. Returns the first failing wake-up's
 * status; the others are still woken. */
KTStatus KTMCServerListWackup(KTMCServerList* pList, KTLog* pLog);

/* List destructor callback: frees the record (variable argument: the KTLog*). */
long KTMCServerDestructor(void** ppElement, va_list args);

#endif /* KTMCSERVERLIST_H */
