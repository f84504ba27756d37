/* VXASPoolInternal.h - the pool's record; included only by VXASPool.cpp. */
#ifndef VXASPOOLINTERNAL_H
#define VXASPOOLINTERNAL_H

#include <atomic>

#include "KTASServerList.h"
#include "KTMCServerList.h"
#include "KTThreadSafety.h"
#include "VXASPool.h"
#include "VXCacheQueue.h"

/* A pool has no lock of its own. Its name and the owned sub-objects are
 * written by ASPoolNew before the pool is published in a pool list and
 * stay as they are until ASPoolFree; the sub-objects lock themselves. The
 * counters are relaxed atomics: the get-server thread counts, the monitor
 * reads and resets them. */
struct ASPool {
  /* Pool name, compared exactly. */
  char name[ASPOOL_NAME_SIZE] KT_LOCK_FREE("written once before publication");
  /* Owned; read by the pool's application servers. */
  CacheQueue* pASQueue KT_LOCK_FREE("written once before publication; locks itself");
  /* Owned; read by the pool's peers. */
  CacheQueue* pMCQueue KT_LOCK_FREE("written once before publication; locks itself");
  /* Owned with its servers. */
  KTASServerList* pServerList KT_LOCK_FREE("written once before publication; locks itself");
  /* Owned list; the records belong to the router's global peer list. */
  KTMCServerList* pMCServerList KT_LOCK_FREE("written once before publication; locks itself");
  /* Get-server requests answered with a server. */
  std::atomic<int> hits KT_LOCK_FREE("relaxed counter");
  /* Get-server requests without a server. */
  std::atomic<int> misses KT_LOCK_FREE("relaxed counter");
  /* Misses on a request's first try. */
  std::atomic<int> unique_misses KT_LOCK_FREE("relaxed counter");
  /* Requests given up after their last try. */
  std::atomic<int> timeouts KT_LOCK_FREE("relaxed counter");
  /* Selection and limit counters (relaxed atomics). */
  VXStrategyInfo strategyInfo KT_LOCK_FREE("relaxed counters");
};

#endif /* VXASPOOLINTERNAL_H */
