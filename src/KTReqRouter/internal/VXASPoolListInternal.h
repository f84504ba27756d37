/* VXASPoolListInternal.h - the pool list's record; included only by VXASPoolList.cpp. */
#ifndef VXASPOOLLISTINTERNAL_H
#define VXASPOOLLISTINTERNAL_H

#include <pthread.h>

#include <atomic>

#include "KTList.h"
#include "KTLock.h"
#include "KTThreadSafety.h"
#include "VXASPoolList.h"

struct KTMemoryManager;

struct ASPoolList {
  /* Readers: lookups and walks of other threads; writer: every change. */
  KTSharedMutex lock;
  /* Owned; storage of the list. Created before publication, freed with the list. */
  struct KTMemoryManager* pMemMgrSys KT_LOCK_FREE("written once before the list is published");
  /* ASPool records in creation order. The pointer itself is written once
   * before publication; what it points at changes only under the write lock. */
  KTList* pPools KT_PT_GUARDED_BY(lock);
  /* 1 while the thread in `writeHolder` holds the lock exclusively through
   * ASPoolListLockWrite, so that ASPoolListUnlock knows which side to leave. */
  int writeHeld KT_GUARDED_BY(lock);
  pthread_t writeHolder KT_GUARDED_BY(lock);
  /* The thread that changes the list (see ASPoolListSetWriter), read by the
   * debugging build's check of the lock-free lookups. */
  std::atomic<pthread_t> writer KT_LOCK_FREE("set by the writer thread, compared by readers");
};

/* Lets the analysis see that ASPoolListMutex names the record's lock. */
KTSharedMutex& ASPoolListMutex(ASPoolList* pPoolList) KT_RETURN_CAPABILITY(pPoolList->lock);

#endif /* VXASPOOLLISTINTERNAL_H */
