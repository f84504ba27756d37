/* VXCacheInfo.cpp - one reader's position in a cache queue.
 *
 * A reader is either up to date, has items pending (from its cacheIndex to
 * the queue's tail), or is in overflow, in which case it is handed the reset
 * item "All" 0x01 0x01 instead of items. Reading with update or exchange
 * happens under the queue's lock, so that items added by other writers at
 * the same moment are delivered exactly once and an overflow raised at the
 * same moment is never cleared unseen.
 */
#include "VXCacheInfo.h"

#include <atomic>
#include <new>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "internal/VXCacheInternal.h"

namespace {

/* Pending data of a reader of pQueue; *pTail receives the tail that bounds
 * the data. Returns the failing status. */
KTStatus pendingDataLocked(CacheInfo* pCacheInfo, CacheQueue* pQueue, KTBuffer* pOut, int* pTail,
                           KTLog* pLog) KT_REQUIRES(pQueue->lock) {
  KTStatus status = CacheQueueGetTailIndex(pQueue, pTail, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheInfoGetData(): error get tail index (%d)", status);
    return status;
  }
  if (pCacheInfo->overflow.load(std::memory_order_relaxed) != 0) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "sending full cache reset");
    status = KTBufferBinSet(pOut, RR_CACHE_RESET_DATA, sizeof(RR_CACHE_RESET_DATA) - 1);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheInfoGetData(): error copy cache reset data (%d)", status);
    }
    return status;
  }
  status = CacheQueueGetDataLocked(pQueue, pCacheInfo->cacheIndex.load(std::memory_order_relaxed),
                                    *pTail, pOut, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheInfoGetData(): error get cache data (%d)", status);
  }
  return status;
}

/* The reader's queue, or null after the "not set" log line. */
CacheQueue* queueOf(CacheInfo* pCacheInfo, const char* caller, KTLog* pLog) {
  CacheQueue* pQueue = pCacheInfo->pQueue.load(std::memory_order_acquire);
  if (pQueue == nullptr) {
    KTLogWrite(pLog, "%s(): cache queue is not set. call CacheInfoSetQueue() first", caller);
  }
  return pQueue;
}

}  // namespace

KTStatus CacheInfoNew(CacheInfo** ppCacheInfo, KTLog* pLog) {
  if (ppCacheInfo == nullptr || *ppCacheInfo != nullptr) {
    KTLogWrite(pLog, "CacheInfoNew(): wrong arguments passed to procedure (ppCacheInfo: %x)",
               KT_PTR32(ppCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  CacheInfo* pCacheInfo = new (std::nothrow) CacheInfo();
  if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheInfoNew(): failed to allocate memory for the ASCacheQueue structure");
    return ERROR_MEMORY_ALLOCATION;
  }
  pCacheInfo->pQueue.store(nullptr, std::memory_order_relaxed);
  pCacheInfo->cacheIndex.store(0, std::memory_order_relaxed);
  pCacheInfo->overflow.store(0, std::memory_order_relaxed);
  *ppCacheInfo = pCacheInfo;
  return STATUS_OK;
}

KTStatus CacheInfoFree(CacheInfo** ppCacheInfo, KTLog* pLog) {
  if (ppCacheInfo == nullptr || *ppCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheInfoFree(): wrong arguments passed to procedure (ppCacheInfo: %x)",
               KT_PTR32(ppCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  // A reader freed while still registered would leave a dangling entry in
  // its queue's reader list; take it out first.
  CacheQueue* pQueue = (*ppCacheInfo)->pQueue.load(std::memory_order_acquire);
  if (pQueue != nullptr) CacheQueueRemoveServer(pQueue, *ppCacheInfo, nullptr);
  delete *ppCacheInfo;
  *ppCacheInfo = nullptr;
  return STATUS_OK;
}

KTStatus CacheInfoSetQueue(CacheInfo* pCacheInfo, CacheQueue* pQueue, KTLog* pLog) {
  if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheInfoSetQueue(): wrong arguments passed to procedure (pCacheInfo: %x)",
               KT_PTR32(pCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  pCacheInfo->pQueue.store(pQueue, std::memory_order_release);
  return STATUS_OK;
}

KTStatus CacheInfoGetQueue(CacheInfo* pCacheInfo, CacheQueue** ppQueue, KTLog* pLog) {
  if (pCacheInfo == nullptr || ppQueue == nullptr) {
    KTLogWrite(pLog, "CacheInfoGetQueue(): wrong arguments passed to procedure (pCacheInfo: %x, ppQueue: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(ppQueue));
    return ERROR_INVALID_PARAMETER;
  }
  *ppQueue = pCacheInfo->pQueue.load(std::memory_order_acquire);
  return STATUS_OK;
}

KTStatus CacheInfoSetCacheIndex(CacheInfo* pCacheInfo, int cacheIndex, KTLog* pLog) {
  if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheInfoSetCacheIndex(): wrong arguments passed to procedure (pCacheInfo: %x)",
               KT_PTR32(pCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  pCacheInfo->cacheIndex.store(cacheIndex, std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheInfoGetCacheIndex(CacheInfo* pCacheInfo, int* pCacheIndex, KTLog* pLog) {
  if (pCacheInfo == nullptr || pCacheIndex == nullptr) {
    KTLogWrite(pLog, "CacheInfoGetCacheIndex(): wrong arguments passed to procedure (pCacheInfo: %x, pCacheIndex: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pCacheIndex));
    return ERROR_INVALID_PARAMETER;
  }
  *pCacheIndex = pCacheInfo->cacheIndex.load(std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheInfoSetOverflow(CacheInfo* pCacheInfo, int overflow, KTLog* pLog) {
  if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "CacheInfoSetOverflow(): wrong arguments passed to procedure (pCacheInfo: %x)",
               KT_PTR32(pCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  pCacheInfo->overflow.store(overflow != 0 ? 1 : 0, std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheInfoGetOverflow(CacheInfo* pCacheInfo, int* pOverflow, KTLog* pLog) {
  if (pCacheInfo == nullptr || pOverflow == nullptr) {
    KTLogWrite(pLog, "CacheInfoGetOverflow(): wrong arguments passed to procedure (pCacheInfo: %x, pOverflow: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pOverflow));
    return ERROR_INVALID_PARAMETER;
  }
  *pOverflow = pCacheInfo->overflow.load(std::memory_order_relaxed);
  return STATUS_OK;
}

KTStatus CacheInfoCountItems(CacheInfo* pCacheInfo, int* pCount, KTLog* pLog) {
  if (pCacheInfo == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "CacheInfoCountItems(): wrong arguments passed to procedure (pCacheInfo: %x, pCount: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pCount));
    return ERROR_INVALID_PARAMETER;
  }
  if (pCacheInfo->overflow.load(std::memory_order_relaxed) != 0) {
    *pCount = -1;
    return STATUS_OK;
  }
  CacheQueue* pQueue = queueOf(pCacheInfo, "CacheInfoCountItems", pLog);
  if (pQueue == nullptr) return ERROR_INVALID_PARAMETER;
  return CacheQueueCountServerItems(pQueue, pCacheInfo->cacheIndex.load(std::memory_order_relaxed),
                                    pCount, pLog);
}

KTStatus CacheInfoGetData(CacheInfo* pCacheInfo, KTBuffer* pCacheData, KTLog* pLog) {
  if (pCacheInfo == nullptr || pCacheData == nullptr) {
    KTLogWrite(pLog, "CacheInfoGetData(): wrong arguments passed to procedure (pCacheInfo: %x, pCacheData: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pCacheData));
    return ERROR_INVALID_PARAMETER;
  }
  CacheQueue* pQueue = queueOf(pCacheInfo, "CacheInfoGetData", pLog);
  if (pQueue == nullptr) return ERROR_INVALID_PARAMETER;
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  int tail = 0;
  KTStatus status = pendingDataLocked(pCacheInfo, pQueue, pCacheData, &tail, pLog);
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}

KTStatus CacheInfoUpdateData(CacheInfo* pCacheInfo, KTBuffer* pCacheData, KTLog* pLog) {
  if (pCacheInfo == nullptr || pCacheData == nullptr) {
    KTLogWrite(pLog, "CacheInfoUpdateData(): wrong arguments passed to procedure (pCacheInfo: %x, pCacheData: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pCacheData));
    return ERROR_INVALID_PARAMETER;
  }
  CacheQueue* pQueue = queueOf(pCacheInfo, "CacheInfoUpdateData", pLog);
  if (pQueue == nullptr) return ERROR_INVALID_PARAMETER;
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();
  int tail = 0;
  KTStatus status = pendingDataLocked(pCacheInfo, pQueue, pCacheData, &tail, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheInfoUpdateData(): error get cache data (%d)", status);
  } else {
    // Still under the lock: nothing can have been added or flagged since the
    // data was taken, so moving to that tail loses nothing.
    pCacheInfo->cacheIndex.store(tail, std::memory_order_relaxed);
    pCacheInfo->overflow.store(0, std::memory_order_relaxed);
  }
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}

KTStatus CacheInfoExchangeData(CacheInfo* pCacheInfo, const char* receivedCacheData,
                               KTBuffer* pSendCacheData, KTLog* pLog) {
  if (pCacheInfo == nullptr || pSendCacheData == nullptr) {
    KTLogWrite(pLog, "CacheInfoExchangeData(): wrong arguments passed to procedure (pCacheInfo: %x, pSendCacheData: %x)",
               KT_PTR32(pCacheInfo), KT_PTR32(pSendCacheData));
    return ERROR_INVALID_PARAMETER;
  }
  if (receivedCacheData == nullptr) receivedCacheData = "";
  CacheQueue* pQueue = queueOf(pCacheInfo, "CacheInfoExchangeData", pLog);
  if (pQueue == nullptr) {
    KTLogWrite(pLog, "CacheInfoExchangeData(): error update cache data (%d)", ERROR_INVALID_PARAMETER);
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pQueue->lock);
  if (!CacheQueueEntered(guard, pLog)) return guard.status();

  // 1. What the reader has not seen yet.
  int tail = 0;
  KTStatus status = pendingDataLocked(pCacheInfo, pQueue, pSendCacheData, &tail, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "CacheInfoExchangeData(): error update cache data (%d)", status);
  } else {
    // 2. Its own items go to the queue for everyone else.
    status = CacheQueueAddDataLocked(pQueue, receivedCacheData, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "CacheInfoExchangeData(): error add cache data (%d)", status);
    }
    // 3. Past its own items (also those added before a failure), so the
    // reader never receives them back. Adding may have flagged it overflow
    // when its own items wrapped the ring; that concerns only its own items.
    int newTail = 0;
    const KTStatus tailStatus = CacheQueueGetTailIndex(pQueue, &newTail, pLog);
    if (tailStatus != STATUS_OK) {
      KTLogWrite(pLog, "CacheInfoExchangeData(): error get cache tail index (%d)", tailStatus);
      if (status == STATUS_OK) status = tailStatus;
    } else {
      pCacheInfo->cacheIndex.store(newTail, std::memory_order_relaxed);
      pCacheInfo->overflow.store(0, std::memory_order_relaxed);
    }
  }
  return guard.finish(status, pLog, kCacheQueueLeaveFailure);
}
