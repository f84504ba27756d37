/* VXCacheQueue.h - bounded ring of cache-invalidation items with registered readers.
 *
 * Cache data is a byte string of items, each followed by the two bytes
 * 0x01 0x01 (RR_CACHE_DELIMITER); the single item "All" tells a reader to
 * drop its whole cache. A queue of maxCount slots holds at most maxCount - 1
 * items, from headIndex up to tailIndex (exclusive) in ring order. When an
 * added item fills the ring, the oldest item is dropped and every reader
 * positioned at it is flagged as in overflow (it will get the reset item).
 * Readers (CacheInfo, VXCacheInfo.h) are registered, not owned.
 *
 * Every operation returns a KTStatus (0 on success), rejects null pointers
 * with ERROR_INVALID_PARAMETER and takes the log last.
 *
 * Thread safety: each queue has its own lock (a KTMutex, last in the lock
 * order: server list, then server record, then cache queue; nothing is
 * locked while it is held). Adding, resetting, registering, unregistering,
 * the reader count and reading data take it, so none of them may be called
 * with it held (KT_EXCLUDES); the counts and the head and tail reads do not
 * (they read atomics and may be a moment stale). The readers' combined
 * steps (VXCacheInfo.h) take it themselves.
 */
#ifndef VXCACHEQUEUE_H
#define VXCACHEQUEUE_H

#include "KTLock.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"
#include "RRProtocol.h"

struct KTBuffer;

typedef struct CacheQueue CacheQueue;
typedef struct CacheInfo CacheInfo;

/* The queue's lock, named by the lock annotations below; never taken by hand. */
KTMutex* CacheQueueMutex(CacheQueue* pQueue);

/* Creates an empty queue of maxCount slots (maxCount > 0, *ppQueue null).
 * Returns ERROR_INVALID_PARAMETER for bad arguments, ERROR_MEMORY_ALLOCATION
 * when out of memory, else the failing status; nothing is left allocated then. */
KTStatus CacheQueueNew(CacheQueue** ppQueue, int maxCount, KTLog* pLog);
/* Releases the items, the reader list (not the readers) and the queue, and
 * nulls *ppQueue. Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheQueueFree(CacheQueue** ppQueue, KTLog* pLog);

/* Registers a reader at the current tail (it sees only items added later)
 * with overflow 0. Returns the failing status; the reader is then not listed. */
KTStatus CacheQueueAddServer(CacheQueue* pQueue, CacheInfo* pCacheInfo, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));
/* Unregisters a reader. Returns ERROR_NO_SUCH_ELEMENT when it was not registered. */
KTStatus CacheQueueRemoveServer(CacheQueue* pQueue, CacheInfo* pCacheInfo, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));
/* The number of registered readers. Returns the list's status on failure. */
KTStatus CacheQueueGetCacheInfoCount(CacheQueue* pQueue, int* pCount, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));

/* Adds every delimited item of the NUL-terminated cacheData; text after the
 * last delimiter is ignored. Returns the first failing item's status; the
 * items added before it stay. */
KTStatus CacheQueueAddData(CacheQueue* pQueue, const char* cacheData, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));
/* Drops every item, flags every reader overflow with index 0, and empties the
 * ring. Returns the first failing step's status. */
KTStatus CacheQueueReset(CacheQueue* pQueue, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));

/* The slot of the oldest item. Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheQueueGetHeadIndex(CacheQueue* pQueue, int* pIndex, KTLog* pLog);
/* The slot the next item goes to. Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheQueueGetTailIndex(CacheQueue* pQueue, int* pIndex, KTLog* pLog);
/* The number of slots. Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheQueueGetMaxCount(CacheQueue* pQueue, int* pMaxCount, KTLog* pLog);
/* The number of items from head to tail. Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheQueueGetCount(CacheQueue* pQueue, int* pCount, KTLog* pLog);
/* The number of items from cacheIndex to the tail. Returns ERROR_INVALID_PARAMETER
 * for a null argument or an index outside 0 .. maxCount - 1. */
KTStatus CacheQueueCountServerItems(CacheQueue* pQueue, int cacheIndex, int* pCount, KTLog* pLog);

/* Sets pDataBuffer to the items of slots firstIndex up to lastIndex
 * (exclusive) in ring order, each followed by the delimiter; equal indexes
 * give the empty text. Returns ERROR_INVALID_PARAMETER for an index outside
 * 0 .. maxCount - 1, else the failing buffer status. */
KTStatus CacheQueueGetData(CacheQueue* pQueue, int firstIndex, int lastIndex,
                           struct KTBuffer* pDataBuffer, KTLog* pLog)
    KT_EXCLUDES(*CacheQueueMutex(pQueue));

#endif /* VXCACHEQUEUE_H */
