/* VXASPool.h - a pool: the application servers of one pool name, its peer routers and its two cache queues.
 *
 * A pool groups the application servers that announced the same pool name
 * (its server list), the peer routers that share the pool (its peer list)
 * and two cache queues: pASQueue, read by the pool's application servers,
 * and pMCQueue, read by its peers (one reader per peer). Cache data that a
 * server or a script hands in is queued for the other servers of the pool
 * and, unless it arrived as a broadcast, forwarded to the pool's peers; with
 * no peers nothing is queued for forwarding. The first server of a pool
 * announces the pool to every peer router (code 21), the last one leaving
 * releases it (code 22); both are queued for each peer's send thread, so
 * the caller never waits on a peer. Data of the pool "DefaultPool" is also spread to
 * every other pool (ASPoolAddScriptDataIterator, driven by the
 * message-center handler).
 *
 * Every operation but ASPoolName returns a KTStatus, takes the log last and
 * rejects null pointers (and non-null output slots) with
 * ERROR_INVALID_PARAMETER and a "wrong arguments passed to procedure" line.
 *
 * Thread safety: a pool has no lock of its own. Its name and its server
 * list, peer list and queues are set by ASPoolNew before anyone else sees
 * the pool and stay until ASPoolFree; the lists and queues lock themselves;
 * the counters are atomics updated and read with relaxed order. A pool lives
 * in an ASPoolList, whose lock keeps it alive for readers (see
 * VXASPoolList.h): only the list's writer thread may use a pool without
 * holding that list's read lock.
 *
 * Release: ASPoolFree never touches the peer records its peer list still
 * holds (they may already be freed at shutdown); a pool is normally freed
 * only when it has neither servers nor peers.
 */
#ifndef VXASPOOL_H
#define VXASPOOL_H

#include <stdarg.h>

#include "KTASServer.h"
#include "KTASServerList.h"
#include "KTLog.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "KTStatus.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTSocket;
class CASRequestInfo;

/* Size of the name array; a pool name holds at most 99 characters. */
#define ASPOOL_NAME_SIZE 100

typedef struct ASPool ASPool;

/* Pool lifetime and access ------------------------------------------------- */

/* Creates a pool named `name` (at most 99 characters) whose queues hold
 * maxCacheItems slots; *ppASPool must be null. Returns
 * ERROR_INVALID_PARAMETER for bad or over-long arguments,
 * ERROR_MEMORY_ALLOCATION, else the failing step's status; nothing is left
 * allocated then. */
KTStatus ASPoolNew(ASPool** ppASPool, const char* name, int maxCacheItems, KTLog* pLog);
/* Frees both queues, every server record, the server list and the peer list
 * (not the peer records) and nulls *ppASPool; continues past failures and
 * returns the last failing status. */
KTStatus ASPoolFree(ASPool** ppASPool, KTLog* pLog);

/* Hand out the pool's application-server or peer queue (*ppCacheQueue must be null). */
KTStatus ASPoolGetASQueue(ASPool* pASPool, CacheQueue** ppCacheQueue, KTLog* pLog);
KTStatus ASPoolGetMCQueue(ASPool* pASPool, CacheQueue** ppCacheQueue, KTLog* pLog);
/* The pool's name, valid as long as the pool; "" for a null pool. */
const char* ASPoolName(const ASPool* pPool);
/* Copies the name into pName; ERROR_INVALID_PARAMETER (logged, nothing
 * copied) when size is below its length + 1. */
KTStatus ASPoolGetName(ASPool* pASPool, char* pName, int size, KTLog* pLog);
/* *pMatches = 1 when the names are equal, else 0. */
KTStatus ASPoolMatches(ASPool* pPool, const char* name, int* pMatches, KTLog* pLog);
/* *pIsEmpty = 1 when the pool has neither servers nor peers, else 0. */
KTStatus ASPoolIsEmpty(ASPool* pPool, int* pIsEmpty, KTLog* pLog);
/* *pCount = the number of the pool's peers. */
KTStatus ASPoolGetPeerCount(ASPool* pPool, int* pCount, KTLog* pLog);

/* Servers ----------------------------------------------------------------- */

/* Adds the server; the pool's first server is first announced to every peer
 * of pMCList (the router's global peer list). The server reads the
 * application-server queue from its tail on. Returns the failing step's
 * status; the server is then not in the pool (and a just-queued announcement
 * is released again). */
KTStatus ASPoolAddServer(ASPool* pASPool, KTASServer* pAS, KTMCServerList* pMCList, KTLog* pLog);
/* Removes the server (not freed) and its reader; when no server is left,
 * tells every peer of pMCList that the pool is released. Continues past
 * failures and returns the last failing status, except that servers that
 * cannot be counted end the call with that status (no release is sent). */
KTStatus ASPoolRemoveServer(ASPool* pASPool, KTASServer* pAS, KTMCServerList* pMCList,
                            KTLog* pLog);
/* Chooses an idle server and marks it assigned (KTASServerListGetIdle with
 * the pool's strategy counters); counts a hit, or a miss (and a unique miss
 * on a first try). Returns the selection's status unchanged. */
KTStatus ASPoolGetIdleServer(ASPool* pASPool, const CASRequestInfo* pASRequestInfo,
                             struct KTBuffer* pIP, unsigned short* pPort, KTLog* pLog);
/* The selection of ASPoolGetIdleServer without its effects: appends the
 * explanation of KTASServerListExplain to pText; no counter changes. */
KTStatus ASPoolExplain(ASPool* pASPool, const CASRequestInfo* pASRequestInfo,
                       struct KTBuffer* pText, KTLog* pLog);
/* The pool's server with that host and port, or null (status 0). */
KTStatus ASPoolGetMatchingServer(ASPool* pPool, const char* IP, unsigned short port,
                                 KTASServer** ppServer, KTLog* pLog);
/* The pool's server bound to the connection, or null (status 0). */
KTStatus ASPoolGetMatchingForSocket(ASPool* pPool, struct KTSocket* pSocket,
                                    KTASServer** ppServer, KTLog* pLog);
/* Counts a request given up after its last try. */
KTStatus ASPoolAddTimeout(ASPool* pPool, KTLog* pLog);

/* Peers ------------------------------------------------------------------- */

/* Adds the peer and registers it as a reader of the peer queue; a peer with
 * the same host and port already in the pool is left as it is (status 0).
 * Returns the failing step's status; the peer is then not in the pool. */
KTStatus ASPoolAddMC(ASPool* pASPool, KTMCServer* pMC, KTLog* pLog);
/* Removes the peer and its reader; a peer not in the pool gives 0 and
 * changes nothing. */
KTStatus ASPoolRemoveMC(ASPool* pASPool, KTMCServer* pMC, KTLog* pLog);
/* The pool's peer with that host and port, or null (status 0). */
KTStatus ASPoolGetMatchingMC(ASPool* pPool, const char* IP, unsigned short port, KTMCServer** ppMC,
                             KTLog* pLog);

/* Cache data -------------------------------------------------------------- */

/* Exchanges cache data with a server of the pool: pResponse receives what
 * the server has not seen yet (or the reset item), dataBuffer (null counts
 * as empty) is queued for the other servers, and, when given and the pool
 * has peers, queued for the peers, whose send threads are woken. Returns the
 * failing step's status. */
KTStatus ASPoolAddServerData(ASPool* pASPool, KTASServer* pASServer, const char* dataBuffer,
                             struct KTBuffer* pResponse, KTLog* pLog);
/* Queues data of a script or a peer: for the servers when the pool has any,
 * and, unless broadcast is set, for the peers as above. A null dataBuffer
 * does nothing. Returns the failing step's status. */
KTStatus ASPoolAddScriptData(ASPool* pASPool, const char* dataBuffer, int broadcast, KTLog* pLog);
/* Pool-list iterator: ASPoolAddScriptData with broadcast set for every pool
 * but the source. Variable arguments: the source ASPool*, the data (const
 * char*), the KTLog*. Returns 0 (failures are logged per pool). */
long ASPoolAddScriptDataIterator(void* pElement, va_list args);
/* Resets the application-server queue and, unless broadcast is set, the
 * peer queue; every reader gets the reset item next. Failures are logged;
 * returns 0 for a valid pool. */
KTStatus ASPoolResetCache(ASPool* pPool, int broadcast, KTLog* pLog);
/* Pool-list iterator of ASPoolResetCache. Variable arguments: the broadcast
 * flag (int), the KTLog*. Returns 0. */
long ASPoolResetCacheIterator(void* pElement, va_list args);

/* Monitor and statistics --------------------------------------------------- */

/* Pool-list iterators appending the monitor line (or debug line) of every
 * server of the pool. Variable arguments: the response KTBuffer*, the
 * KTLog*. Return the failing server line's status. */
long ASPoolMonitorServer(void* pElement, va_list args);
long ASPoolMonitorDebug(void* pElement, va_list args);
/* Pool-list iterator appending the pool line "P name idle servers peers
 * asItems mcItems hits misses byClientIP bySiteGuid byLastUse
 * limitByExtension limitBySite limitBySpecialSite assigned working monitor
 * down limitByClient timeouts unique_misses\r\n"; a count that cannot be
 * read is printed as -1. Variable arguments: the response KTBuffer*, the
 * KTLog*. Returns 0. */
long ASPoolMonitorPool(void* pElement, va_list args);
/* Pool-list iterator appending "name\r\n" when the pool has at least one
 * server. Variable arguments: the response KTBuffer*, the KTLog*. Returns
 * the failing step's status. */
long ASPoolNameASUsed(void* pElement, va_list args);
/* Sets hits, misses, unique_misses, timeouts and the strategy counters to 0. */
KTStatus ASPoolResetPool(ASPool* pPool, KTLog* pLog);
/* Pool-list iterator of ASPoolResetPool. Variable argument: the KTLog*.
 * Returns ASPoolResetPool's status. */
long ASPoolVResetPool(void* pElement, va_list args);

#endif /* VXASPOOL_H */
