/* VXCacheInfo.h - one reader's position in a cache queue.
 *
 * A CacheInfo belongs to one application server (or one peer router per
 * shared pool). cacheIndex is the slot of the next item the reader has not
 * received; overflow is set when items it had not received were dropped or
 * the queue was reset, and then the reader gets the reset item "All" 0x01
 * 0x01 instead of items. A reader is registered with CacheQueueAddServer.
 *
 * Every operation returns a KTStatus (0 on success), rejects null pointers
 * with ERROR_INVALID_PARAMETER and takes the log last.
 *
 * Thread safety: the fields are atomics; the queue changes overflow and the
 * index under its own lock. GetData, UpdateData and ExchangeData take the
 * queue's lock (so call them without holding it); the field accessors and
 * CountItems take no lock.
 */
#ifndef VXCACHEINFO_H
#define VXCACHEINFO_H

#include "KTLog.h"
#include "KTStatus.h"
#include "VXCacheQueue.h"

struct KTBuffer;

/* Creates a reader with no queue, index 0, overflow 0 (*ppCacheInfo null).
 * Returns ERROR_INVALID_PARAMETER for bad arguments, ERROR_MEMORY_ALLOCATION when out of memory. */
KTStatus CacheInfoNew(CacheInfo** ppCacheInfo, KTLog* pLog);
/* Releases the reader (unregister it first) and nulls *ppCacheInfo.
 * Returns ERROR_INVALID_PARAMETER for a null argument. */
KTStatus CacheInfoFree(CacheInfo** ppCacheInfo, KTLog* pLog);

/* Field accessors. Each returns ERROR_INVALID_PARAMETER for a null pointer. */
KTStatus CacheInfoSetQueue(CacheInfo* pCacheInfo, CacheQueue* pQueue, KTLog* pLog);
KTStatus CacheInfoGetQueue(CacheInfo* pCacheInfo, CacheQueue** ppQueue, KTLog* pLog);
KTStatus CacheInfoSetCacheIndex(CacheInfo* pCacheInfo, int cacheIndex, KTLog* pLog);
KTStatus CacheInfoGetCacheIndex(CacheInfo* pCacheInfo, int* pCacheIndex, KTLog* pLog);
KTStatus CacheInfoSetOverflow(CacheInfo* pCacheInfo, int overflow, KTLog* pLog);
KTStatus CacheInfoGetOverflow(CacheInfo* pCacheInfo, int* pOverflow, KTLog* pLog);

/* The number of items pending for the reader, -1 when it is in overflow.
 * Returns ERROR_INVALID_PARAMETER without a queue, else the queue's failing status. */
KTStatus CacheInfoCountItems(CacheInfo* pCacheInfo, int* pCount, KTLog* pLog);

/* Sets pCacheData to what the reader has not received (the reset item when
 * in overflow) without moving the reader. Returns ERROR_INVALID_PARAMETER
 * when no queue is set, else the failing status. */
KTStatus CacheInfoGetData(CacheInfo* pCacheInfo, struct KTBuffer* pCacheData, KTLog* pLog);
/* As CacheInfoGetData, then moves the reader to the tail that bounded that
 * data and clears its overflow, all under the queue's lock. Returns the
 * failing status; the reader does not move then. */
KTStatus CacheInfoUpdateData(CacheInfo* pCacheInfo, struct KTBuffer* pCacheData, KTLog* pLog);
/* Hands the reader its pending data in pSendCacheData, adds the reader's own
 * receivedCacheData (NUL-terminated; null counts as empty) to the queue and
 * moves the reader past it, so it never gets its own items back. The three
 * steps run under the queue's lock, so items of other writers are neither
 * lost nor duplicated. Returns the first failing status. */
KTStatus CacheInfoExchangeData(CacheInfo* pCacheInfo, const char* receivedCacheData,
                               struct KTBuffer* pSendCacheData, KTLog* pLog);

#endif /* VXCACHEINFO_H */
