/* VXCacheInternal.h - cache queue and reader layouts, private to VXCacheQueue/VXCacheInfo.cpp.
 *
 * A reader's position and overflow flag are atomics: the queue moves and
 * flags them under its own lock, and the lock-free counts read them. The
 * reading steps of VXCacheInfo.cpp that must be one step for other writers
 * take the queue's lock through a guard and call the *Locked steps below.
 */
#ifndef VXCACHEINTERNAL_H
#define VXCACHEINTERNAL_H

#include <atomic>

#include "KTLock.h"
#include "KTLog.h"
#include "KTStatus.h"
#include "KTThreadSafety.h"
#include "VXCacheInfo.h"
#include "VXCacheQueue.h"

struct KTBuffer;
struct KTList;
struct KTMemoryManager;

struct CacheQueue {
  KTMutex lock; /* last in the lock order */
  KTBuffer** ppCacheStrings KT_PT_GUARDED_BY(lock); /* maxCount slots, each null or an owned item */
  KTMemoryManager* pMemMgr KT_LOCK_FREE("set in New, released in Free"); /* owned */
  KTList* pCacheInfoList KT_GUARDED_BY(lock); /* registered readers, not owned */
  int maxCount KT_LOCK_FREE("set in New before the queue is published"); /* slots, at least 1 */
  std::atomic<int> headIndex KT_LOCK_FREE("atomic: written under the lock, read by the counts");
  std::atomic<int> tailIndex KT_LOCK_FREE("atomic: written under the lock, read by the counts");
};

struct CacheInfo {
  /* The queue it reads, not owned; null until registered. */
  std::atomic<CacheQueue*> pQueue
      KT_LOCK_FREE("atomic: set under the queue's lock, read to find it");
  /* Slot of the next item not yet received. */
  std::atomic<int> cacheIndex
      KT_LOCK_FREE("atomic: moved under the queue's lock, read by the counts");
  /* 1 when items were dropped unread or the queue was reset. */
  std::atomic<int> overflow KT_LOCK_FREE("atomic: set under the queue's lock, read by the counts");
};

KTMutex* CacheQueueMutex(CacheQueue* pQueue) KT_RETURN_CAPABILITY(pQueue->lock);

/* Whether the guard took the queue's lock; logs the failure when not. */
bool CacheQueueEntered(const KTLockGuard& guard, KTLog* pLog);
/* The line a failing leave of the queue's lock writes (guard.finish). */
extern const char* const kCacheQueueLeaveFailure;

/* CacheQueueAddData and CacheQueueGetData for a caller holding the lock. */
KTStatus CacheQueueAddDataLocked(CacheQueue* pQueue, const char* cacheData, KTLog* pLog)
    KT_REQUIRES(pQueue->lock);
KTStatus CacheQueueGetDataLocked(CacheQueue* pQueue, int firstIndex, int lastIndex,
                                 KTBuffer* pDataBuffer, KTLog* pLog) KT_REQUIRES(pQueue->lock);

#endif /* VXCACHEINTERNAL_H */
