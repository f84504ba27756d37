/* VXCacheQueue.cpp - bounded ring of cache-invalidation items with registered readers.
 *
 * Items are stored without their delimiter, each in its own binary KTBuffer,
 * and handed out again with the delimiter behind every item. The ring keeps
 * one slot free to tell full from empty, so a queue of maxCount slots holds
 * maxCount - 1 items. When an added item fills the ring the oldest item is
 * dropped, and the readers that had not received it are flagged overflow:
 * they will be told to reset their whole cache instead.
 *
 * Everything that changes the ring or the reader list runs under the queue's
 * lock. Head and tail are atomics so that the lock-free counts used by the
 * monitor read defined (if possibly a moment stale) values.
 */
#include "VXCacheQueue.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTList.h"
#include "KTMemoryManager.h"
#include "VXCacheInfo.h"
#include "internal/VXCacheInternal.h"

/* A held lock's leave fails only with ERROR_UNKNOWN, hence the fixed status. */
const char* const kCacheQueueLeaveFailure =
    "KTCacheQueueUnlock(): failed to leave critical section(1)";

bool CacheQueueEntered(const KTLockGuard& guard, KTLog* pLog) {
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTCacheQueueLock(): failed to enter critical section (%d)", guard.status());
  }
  return guard.locked();
}

KTMutex* CacheQueueMutex(CacheQueue* pQueue) { return &pQueue->lock; }

namespace {

const char* const kSource = "VXCacheQueue";

/* The next slot after index, wrapping from maxCount to 0. */
int nextSlot(const CacheQueue* pQueue, int index) {
  return (index + 1 == pQueue->maxCount) ? 0 : index + 1;
}

/* Items from index up to tail in ring order. */
int countFrom(const CacheQueue* pQueue, int index) {
  const int tail = pQueue->tailIndex.load(std::memory_order_relaxed);
  return (tail >= index) ? tail - index : tail + pQueue->maxCount - index;
}

bool validIndex(const CacheQueue* pQueue, int index) {
  return index >= 0 && index < pQueue->maxCount;
}

/* Releases every stored item, whatever slot it is in; returns the last failing status. */
KTStatus freeAllItems(CacheQueue* pQueue) KT_REQUIRES(pQueue->lock) {
  KTStatus result = STATUS_OK;
  for (int i = 0; i < pQueue->maxCount; ++i) {
    if (pQueue->ppCacheStrings[i] != nullptr) {
      const KTStatus status = KTBufferFree(&pQueue->ppCacheStrings[i]);
      if (status != STATUS_OK) {
        result = status;
        pQueue->ppCacheStrings[i] = nullptr;
      }
    }
  }
  return result;
}

/* Reader iterator: flags overflow on the readers positioned at the given slot. */
long setOverflowIterator(void* element, va_list args) {
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(element);
  const int droppedSlot = va_arg(args, int);
  KTLog* pLog = va_arg(args, KTLog*);
  int cacheIndex = 0;
  KTStatus status = CacheInfoGetCacheIndex(pCacheInfo, &cacheIndex, pLog);
  if (status != STATUS_OK) return status;
  if (cacheIndex == droppedSlot) status = CacheInfoSetOverflow(pCacheInfo, 1, pLog);
  return status;
}

/* Reader iterator after a reset: overflow 1 and index 0 for everyone. */
long resetIterator(void* element, va_list args) {
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(element);
  KTLog* pLog = va_arg(args, KTLog*);
  KTStatus status = CacheInfoSetOverflow(pCacheInfo, 1, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_ResetIterator() error set overflow");
    return status;
  }
  status = CacheInfoSetCacheIndex(pCacheInfo, 0, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_ResetIterator() error set index");
    return status;
  }
  return STATUS_OK;
}

/* Reader iterator when the queue goes away: the readers no longer point at it. */
long detachIterator(void* element, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return CacheInfoSetQueue(static_cast<CacheInfo*>(element), nullptr, pLog);
}

/* Stores one item at the tail, dropping the oldest item when the ring is
 * full. Returns the failing status; a failure to create the item leaves the
 * ring unchanged. */
KTStatus addItem(CacheQueue* pQueue, const char* data, size_t length, KTLog* pLog)
    KT_REQUIRES(pQueue->lock) {
  KTBuffer* pItem = nullptr;
  KTStatus status = KTBufferBinNew(&pItem, data, length);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_CacheQueueAddItem(): error creating cache item (%d)", status);
    return status;
  }
  const int tail = pQueue->tailIndex.load(std::memory_order_relaxed);
  KT_ASSERT(pQueue->ppCacheStrings[tail] == nullptr, kSource);
  pQueue->ppCacheStrings[tail] = pItem;
  const int newTail = nextSlot(pQueue, tail);
  pQueue->tailIndex.store(newTail, std::memory_order_relaxed);

  if (newTail != pQueue->headIndex.load(std::memory_order_relaxed)) return STATUS_OK;

  // Full: the oldest item sits in the slot the tail now points at. Readers
  // that still wait for it lose it, so they are told to reset instead.
  KTDEBUG_MSG(KTDEBUG_RROUTER, "_CacheQueueAddItem: queue is full");
  const KTStatus flagStatus = KTListForEach(pQueue->pCacheInfoList, pQueue->pMemMgr,
                                            setOverflowIterator, newTail, pLog);
  if (flagStatus != STATUS_OK) {
    KTLogWrite(pLog, "_CacheQueueAddItem() error set overflow foreach");
  }
  // The oldest item goes even when flagging failed: leaving head equal to
  // tail would make the full ring look empty.
  KT_ASSERT(pQueue->ppCacheStrings[newTail] != nullptr, kSource);
  status = KTBufferFree(&pQueue->ppCacheStrings[newTail]);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_CacheQueueAddItem failed to free cache buffer");
    pQueue->ppCacheStrings[newTail] = nullptr;
  }
  KT_ASSERT(pQueue->ppCacheStrings[newTail] == nullptr, kSource);
  pQueue->headIndex.store(nextSlot(pQueue, newTail), std::memory_order_relaxed);
  return flagStatus != STATUS_OK ? flagStatus : status;
}

/* Appends one item and its delimiter to the output; returns the failing buffer status. */
KTStatus appendItem(KTBuffer* pOut, KTBuffer* pItem, KTLog* pLog) {
  if (pItem == nullptr) return STATUS_OK;  // an empty slot contributes nothing
  size_t size = 0;
  KTStatus status = KTBufferSize(pItem, &size);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_CacheQueueAppendBuffer: can't get size from cache item buffer");
    return status;
  }
  unsigned getStatus = 0;
  const char* data = KTBufferGet(pItem, &getStatus);
  if (data == nullptr || getStatus != 0) {
    KTLogWrite(pLog, "_CacheQueueAppendBuffer: can't get data from cache item buffer");
    return getStatus != 0 ? static_cast<KTStatus>(getStatus) : ERROR_UNKNOWN;
  }
  status = KTBufferBinAppend(pOut, data, size);
  if (status == STATUS_OK) {
    status = KTBufferBinAppend(pOut, RR_CACHE_DELIMITER, RR_CACHE_DELIMITER_LENGTH);
  }
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_CacheQueueAppendBuffer: can't append cache item data to buffer");
  }
  return status;
}

/* Appends the items of slots first .. last - 1; returns the failing status. */
KTStatus appendRange(CacheQueue* pQueue, KTBuffer* pOut, int first, int last, KTLog* pLog)
    KT_REQUIRES(pQueue->lock) {
  for (int i = first; i < last; ++i) {
    const KTStatus status = appendItem(pOut, pQueue->ppCacheStrings[i], pLog);
    if (status != STATUS_OK) return status;
  }
  return STATUS_OK;
}

/* Releases whatever part of a queue has been built, and the record; no
 * other thread uses the queue. */
void destroyQueue(CacheQueue* pQueue) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pQueue->ppCacheStrings != nullptr) {
    freeAllItems(pQueue);
    free(pQueue->ppCacheStrings);
  }
  if (pQueue->pCacheInfoList != nullptr) KTListFree(&pQueue->pCacheInfoList, pQueue->pMemMgr);
  if (pQueue->pMemMgr != nullptr) pQueue->pMemMgr->Free(&pQueue->pMemMgr);
  pQueue->lock.Destroy();
  delete pQueue;
}

/* Creates the lock, the storage and the reader list of a queue not yet
 * published to other threads; logs and returns the failing step's status. */
KTStatus createParts(CacheQueue* pQueue, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  KTStatus status = pQueue->lock.Create();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueNew(): error creating critical section (%d)", status);
    return status;
  }
  status = KTMemoryManagerSysNew(&pQueue->pMemMgr);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueNew(): error creating memory manager");
    return status;
  }
  status = KTListNew(&pQueue->pCacheInfoList, pQueue->pMemMgr);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueNew(): error creating cache info list");
  }
  return status;
}

}  // namespace

KTStatus CacheQueueNew(CacheQueue** ppQueue, int maxCount, KTLog* pLog) {
  if (ppQueue == nullptr || *ppQueue != nullptr || maxCount <= 0) {
    KTLogWrite(pLog, "CacheQueueNew(): wrong arguments passed to procedure (ppQueue: %x, maxCount=%d)",
               KT_PTR32(ppQueue), maxCount);
    return ERROR_INVALID_PARAMETER;
  }
  CacheQueue* pQueue = new (std::nothrow) CacheQueue();
  if (pQueue != nullptr) {
    pQueue->ppCacheStrings =
        static_cast<KTBuffer**>(calloc(static_cast<size_t>(maxCount), sizeof(KTBuffer*)));
  }
  if (pQueue == nullptr || pQueue->ppCacheStrings == nullptr) {
    KTLogWrite(pLog, "CacheQueueNew(): failed to allocate memory for the CacheQueue structure");
    if (pQueue != nullptr) destroyQueue(pQueue);
    return ERROR_MEMORY_ALLOCATION;
  }
  pQueue->maxCount = maxCount;
  pQueue->headIndex.store(0, std::memory_order_relaxed);
  pQueue->tailIndex.store(0, std::memory_order_relaxed);

  const KTStatus status = createParts(pQueue, pLog);
  if (status != STATUS_OK) {
    destroyQueue(pQueue);
    return status;
  }
  *ppQueue = pQueue;
  return STATUS_OK;
}

/* Runs when no other thread uses the queue any more. */
KTStatus CacheQueueFree(CacheQueue** ppQueue, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (ppQueue == nullptr || *ppQueue == nullptr) {
    KTLogWrite(pLog, "CacheQueueFree(): wrong arguments passed to procedure (ppQueue: %x)",
               KT_PTR32(ppQueue));
    return ERROR_INVALID_PARAMETER;
  }
  CacheQueue* pQueue = *ppQueue;
  KTStatus result = STATUS_OK;
  // Readers still registered must not keep a pointer to a freed queue.
  KTStatus status =
      KTListForEach(pQueue->pCacheInfoList, pQueue->pMemMgr, detachIterator, pLog);
  if (status != STATUS_OK) result = status;
  status = freeAllItems(pQueue);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueFree() error free all cache items.");
    result = status;
  }
  free(pQueue->ppCacheStrings);
  pQueue->ppCacheStrings = nullptr;
  status = KTListFree(&pQueue->pCacheInfoList, pQueue->pMemMgr);
  if (status != STATUS_OK) result = status;
  status = pQueue->pMemMgr->Free(&pQueue->pMemMgr);
  if (status != STATUS_OK) result = status;
  status = pQueue->lock.Destroy();
  if (status != STATUS_OK) result = status;
  delete pQueue;
  *ppQueue = nullptr;
  return result;
}

KTStatus CacheQueueAddServer(CacheQueue* pQueue, CacheInfo* pCacheInfo, KTLog* pLog) {
  if (pQueue == nullptr || pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheQueueAddServer(): wrong arguments passed to procedure (pQueue: %x, pCacheInfo: %x)",
               KT_PTR32(pQueue), KT_PTR32(pCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  // Under the lock, so that no item slips in between taking the tail as the
  // reader's position and listing the reader.
  KTStatus status = CacheInfoSetQueue(pCacheInfo, pQueue, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueAddServer(): error set queue (%d)", status);
  }
  if (status == STATUS_OK) {
    status = CacheInfoSetCacheIndex(pCacheInfo, pQueue->tailIndex.load(std::memory_order_relaxed),
                                    pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueAddServer(): error set cache index (%d)", status);
    }
  }
  if (status == STATUS_OK) {
    status = CacheInfoSetOverflow(pCacheInfo, 0, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueAddServer(): error set overflow (%d)", status);
    }
  }
  if (status == STATUS_OK) {
    status = KTListAdd(pQueue->pCacheInfoList, pQueue->pMemMgr, pCacheInfo);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueAddServer(): error add cache info to the list (%d)", status);
    }
  }
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}

KTStatus CacheQueueRemoveServer(CacheQueue* pQueue, CacheInfo* pCacheInfo, KTLog* pLog) {
  if (pQueue == nullptr || pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheQueueRemoveServer(): wrong arguments passed to procedure (pQueue: %x, pCacheInfo: %x)",
               KT_PTR32(pQueue), KT_PTR32(pCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  KTStatus status = KTListRemove(pQueue->pCacheInfoList, pQueue->pMemMgr, pCacheInfo);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueRemoveServer(): error remove cache info from the list (%d)", status);
  } else {
    // The reader no longer reads this queue; forget it so that a later free
    // of the reader does not reach back into a queue that may be gone.
    CacheQueue* pCurrent = nullptr;
    if (CacheInfoGetQueue(pCacheInfo, &pCurrent, pLog) == STATUS_OK && pCurrent == pQueue) {
      CacheInfoSetQueue(pCacheInfo, nullptr, pLog);
    }
  }
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}

KTStatus CacheQueueGetCacheInfoCount(CacheQueue* pQueue, int* pCount, KTLog* pLog) {
  if (pQueue == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetCacheInfoCount(): wrong arguments passed to procedure (pQueue: %x, pCount: %x)",
               KT_PTR32(pQueue), KT_PTR32(pCount));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  return guard.finish(KTListSize(pQueue->pCacheInfoList, pQueue->pMemMgr, pCount), pLog,
                      kCacheQueueLeaveFailure);
}

KTStatus CacheQueueAddDataLocked(CacheQueue* pQueue, const char* cacheData, KTLog* pLog) {
  if (pQueue == nullptr || cacheData == nullptr) {
    KTLogWrite(pLog, "CacheQueueAddData(): wrong arguments passed to procedure (pQueue: %x, cacheData: %x)",
               KT_PTR32(pQueue), KT_PTR32(cacheData));
    return ERROR_INVALID_PARAMETER;
  }
  const char* cursor = cacheData;
  while (*cursor != '\0') {
    const char* delimiter = strstr(cursor, RR_CACHE_DELIMITER);
    if (delimiter == nullptr) break;  // an unterminated rest is not an item
    const KTStatus status = addItem(pQueue, cursor, static_cast<size_t>(delimiter - cursor), pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueAddData(): error adding cache item (%d)", status);
      return status;
    }
    cursor = delimiter + RR_CACHE_DELIMITER_LENGTH;
  }
  return STATUS_OK;
}

KTStatus CacheQueueAddData(CacheQueue* pQueue, const char* cacheData, KTLog* pLog) {
  if (pQueue == nullptr || cacheData == nullptr) {
    KTLogWrite(pLog, "CacheQueueAddData(): wrong arguments passed to procedure (pQueue: %x, cacheData: %x)",
               KT_PTR32(pQueue), KT_PTR32(cacheData));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  return guard.finish(CacheQueueAddDataLocked(pQueue, cacheData, pLog), pLog,
                      kCacheQueueLeaveFailure);
}

KTStatus CacheQueueReset(CacheQueue* pQueue, KTLog* pLog) {
  if (pQueue == nullptr) {
    KTLogWrite(pLog, "CacheQueueReset(): wrong arguments passed to procedure (pQueue: %x)",
               KT_PTR32(pQueue));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  KTStatus status = freeAllItems(pQueue);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueReset() error free all cache items.");
  }
  const KTStatus readerStatus =
      KTListForEach(pQueue->pCacheInfoList, pQueue->pMemMgr, resetIterator, pLog);
  if (readerStatus != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueReset() error reset cache info");
    if (status == STATUS_OK) status = readerStatus;
  }
  pQueue->headIndex.store(0, std::memory_order_relaxed);
  pQueue->tailIndex.store(0, std::memory_order_relaxed);
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}

KTStatus CacheQueueGetHeadIndex(CacheQueue* pQueue, int* pIndex, KTLog* pLog) {
  if (pQueue == nullptr || pIndex == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetHeadIndex(): wrong arguments passed to procedure (pQueue: %x, pIndex: %x)",
               KT_PTR32(pQueue), KT_PTR32(pIndex));
    return ERROR_INVALID_PARAMETER;
  }
  *pIndex = pQueue->headIndex.load(std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheQueueGetTailIndex(CacheQueue* pQueue, int* pIndex, KTLog* pLog) {
  if (pQueue == nullptr || pIndex == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetTailIndex(): wrong arguments passed to procedure (pQueue: %x, pIndex: %x)",
               KT_PTR32(pQueue), KT_PTR32(pIndex));
    return ERROR_INVALID_PARAMETER;
  }
  *pIndex = pQueue->tailIndex.load(std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheQueueGetMaxCount(CacheQueue* pQueue, int* pMaxCount, KTLog* pLog) {
  if (pQueue == nullptr || pMaxCount == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetMaxCount(): wrong arguments passed to procedure (pQueue: %x, pMaxCount: %x)",
               KT_PTR32(pQueue), KT_PTR32(pMaxCount));
    return ERROR_INVALID_PARAMETER;
  }
  *pMaxCount = pQueue->maxCount;
  return STATUS_OK;
}

KTStatus CacheQueueGetCount(CacheQueue* pQueue, int* pCount, KTLog* pLog) {
  if (pQueue == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetCount(): wrong arguments passed to procedure (pQueue: %x, pCount: %x)",
               KT_PTR32(pQueue), KT_PTR32(pCount));
    return ERROR_INVALID_PARAMETER;
  }
  *pCount = countFrom(pQueue, pQueue->headIndex.load(std::memory_order_relaxed));
  return STATUS_OK;
}

KTStatus CacheQueueCountServerItems(CacheQueue* pQueue, int cacheIndex, int* pCount, KTLog* pLog) {
  if (pQueue == nullptr || pCount == nullptr || !validIndex(pQueue, cacheIndex)) {
    KTLogWrite(pLog, "CacheQueueCountServerItems(): wrong arguments passed to procedure (pQueue: %x, cacheIndex: %d, pCount: %x)",
               KT_PTR32(pQueue), cacheIndex, KT_PTR32(pCount));
    return ERROR_INVALID_PARAMETER;
  }
  *pCount = countFrom(pQueue, cacheIndex);
  return STATUS_OK;
}

KTStatus CacheQueueGetDataLocked(CacheQueue* pQueue, int firstIndex, int lastIndex,
                                  KTBuffer* pDataBuffer, KTLog* pLog) {
  if (pQueue == nullptr || pDataBuffer == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetData(): wrong arguments passed to procedure (pQueue: %x, pDataBuffer: %x)",
               KT_PTR32(pQueue), KT_PTR32(pDataBuffer));
    return ERROR_INVALID_PARAMETER;
  }
  if (!validIndex(pQueue, firstIndex) || !validIndex(pQueue, lastIndex)) {
    KTLogWrite(pLog, "CacheQueueGetData(): wrong index arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pDataBuffer, "");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheQueueGetData: can't initialize cache data buffer");
    return status;
  }
  if (lastIndex < firstIndex) {
    status = appendRange(pQueue, pDataBuffer, firstIndex, pQueue->maxCount, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueGetData: error append buffer 1");
      return status;
    }
    status = appendRange(pQueue, pDataBuffer, 0, lastIndex, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueGetData: error append buffer 2");
      return status;
    }
  } else {
    status = appendRange(pQueue, pDataBuffer, firstIndex, lastIndex, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheQueueGetData: error append buffer 3");
      return status;
    }
  }
  return STATUS_OK;
}

KTStatus CacheQueueGetData(CacheQueue* pQueue, int firstIndex, int lastIndex,
                           KTBuffer* pDataBuffer, KTLog* pLog) {
  if (pQueue == nullptr || pDataBuffer == nullptr) {
    KTLogWrite(pLog, "CacheQueueGetData(): wrong arguments passed to procedure (pQueue: %x, pDataBuffer: %x)",
               KT_PTR32(pQueue), KT_PTR32(pDataBuffer));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  return guard.finish(CacheQueueGetDataLocked(pQueue, firstIndex, lastIndex, pDataBuffer, pLog),
                      pLog, kCacheQueueLeaveFailure);
}
