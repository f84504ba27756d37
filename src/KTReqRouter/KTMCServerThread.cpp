/* KTMCServerThread.cpp - a peer record's send thread: its cycle, wake-ups, pool announcements and cache forwarding.
 *
 * The thread takes the pending cache data of every shared pool under the
 * record's lock (moving the read positions) and sends it after releasing
 * the lock, so no lock is held during network I/O. Everything the thread
 * allocates is owned by scope objects, so a cancellation that unwinds the
 * thread releases it.
 */
#include "KTMCServer.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "KTBuffer.h"
#include "KTCondition.h"
#include "KTDebug.h"
#include "KTHash.h"
#include "KTThread.h"
#include "VXASPool.h"
#include "VXCacheInfo.h"
#include "internal/KTMCServerInternal.h"


namespace {

std::atomic<int> gSendCycleMs{KTMCSERVER_SEND_CYCLE_MS};
std::atomic<bool> gSendThreads{true};

/* Pending cache data of one shared pool, taken for sending. */
struct PendingData {
  std::string poolName;
  std::string data;
};

/* Hash iterator: takes the peer's pending data of one pool (moving its read
 * position to the end). Variable arguments: the vector of PendingData, the
 * KTLog*. Returns the failing step's status, which stops the walk. */
long SendCacheIterator(const char* key, void* element, va_list args) {
  std::vector<PendingData>* pPending = va_arg(args, std::vector<PendingData>*);
  KTLog* pLog = va_arg(args, KTLog*);
  CKTBuffer data(std::nothrow);
  KTStatus status = data.init("");
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendCacheIterator(): error init send buffer");
    return status;
  }
  status = CacheInfoUpdateData(static_cast<CacheInfo*>(element), data.get(), pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendCacheIterator(): error get cache data");
    return status;
  }
  try {
    pPending->push_back(PendingData{key, std::string(data.get()->pData, data.get()->dataLength)});
  } catch (const std::bad_alloc&) {
    KTLogWrite(pLog, "SendCacheIterator(): error get cache data");
    return ERROR_MEMORY_ALLOCATION;
  }
  return STATUS_OK;
}

/* What the send thread needs; owned by the thread once it runs. */
struct SendThreadParam {
  KTMCServer* pMC;
  KTLog* pLog;
};

/* The send thread: every send cycle, or when woken, sends the queued pool
 * announcements, then the pending cache data of every shared pool. A failing wait or stand-up ends it with the
 * error flag set. */
void SendThreadMain(int* pStopFlag, int* pError, void* pParameter) {
  std::unique_ptr<SendThreadParam> param(static_cast<SendThreadParam*>(pParameter));
  KTMCServer* pMC = param->pMC;
  KTLog* pLog = param->pLog;
  bool failed = false;
  while (!KTThreadStopRequested(pStopFlag)) {
    KTDEBUG_MSG(KTDEBUG_RROUTER, "SendThreadMain(): before ConditionWait()");
    if (KTMCServerWaitForChange(pMC, KTMCServerGetSendCycle(), pLog) != STATUS_OK) {
      failed = true;
      break;
    }
    if (KTThreadStopRequested(pStopFlag)) break;
    if (KTMCServerSendAnnouncements(pMC, pLog) != STATUS_OK ||
        KTMCServerCacheStandup(pMC, pLog) != STATUS_OK) {
      KTLogWrite(pLog, "SendThreadMain(): error MC send.");
      failed = true;
      break;
    }
  }
  if (failed) {
    KTLogWrite(pLog, "SendThreadMain(): terminate ReqRouter due to unrecoverable error in thread");
    KTThreadSetError(pError, 1);
  }
}

}  // namespace

KTStatus KTMCServerSendThreadStart(KTMCServer* pMC, KTLog* pLog) {
  if (!gSendThreads.load(std::memory_order_relaxed)) return STATUS_OK;
  SendThreadParam* pParam = new (std::nothrow) SendThreadParam{pMC, pLog};
  if (pParam == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendThreadStart(): error allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = KTThreadNew(&pMC->pThread, SendThreadMain, pParam);
  if (status != STATUS_OK) {
    delete pParam;
    KTLogWrite(pLog, "KTMCServerSendThreadStart(): error create thread(%d)", status);
  }
  return status;
}

KTStatus KTMCServerSendThreadStop(KTMCServer* pMC, KTLog* pLog) {
  KTStatus result = STATUS_OK;
  KTStatus status = KTThreadStop(pMC->pThread);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error stop thread(%d)", status);
    result = status;
  }
  status = KTMCServerCacheWackup(pMC, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error wake up thread(%d)", status);
    result = status;
  }
  status = KTThreadFree(&pMC->pThread, 100);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "SendThreadStop(): error free thread(%d)", status);
    result = status;
  }
  return result;
}

void KTMCServerSetSendCycle(int ms) {
  gSendCycleMs.store(ms > 0 ? ms : KTMCSERVER_SEND_CYCLE_MS, std::memory_order_relaxed);
}

int KTMCServerGetSendCycle(void) { return gSendCycleMs.load(std::memory_order_relaxed); }

void KTMCServerSetSendThreads(int on) { gSendThreads.store(on != 0, std::memory_order_relaxed); }

KTStatus KTMCServerCacheWackup(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerCacheWackup(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTConditionWakeup(pMC->pCondition);
  if (status != STATUS_OK) KTLogWrite(pLog, "KTMCServerCacheWackup(): error wack up MC.");
  return status;
}

KTStatus KTMCServerCacheStandup(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerCacheStandup(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<PendingData> pending;
  KTStatus status;
  {
    KTLockGuard guard(pMC->lock);
    if (!KTMCServerEntered(guard, pLog)) {
      KTLogWrite(pLog, "KTMCServerCacheStandup(): error lock MC.");
      return guard.status();
    }
    if (KTHashForEach(pMC->pCacheInfoHash, pMC->pMemoryManager, SendCacheIterator, &pending,
                      pLog) != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerCacheStandup(): error send caches");
    }
    status = guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
  }
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerCacheStandup(): error unlock MC.");
    return status;
  }
  // Sent without the lock: state changes after each send take it again.
  for (const PendingData& entry : pending) {
    status = KTMCServerSendCache(pMC, entry.poolName.c_str(), entry.data.c_str(), pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerCacheStandup(): error send cache of pool %s (%d)",
                 entry.poolName.c_str(), status);
    }
  }
  return STATUS_OK;
}

namespace {

/* Queues code for the pool, replacing a pending announcement of the same pool. */
long queueAnnouncement(void* pElement, va_list args, int code, const char* function) {
  KTMCServer* pMC = static_cast<KTMCServer*>(pElement);
  ASPool* pPool = va_arg(args, ASPool*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pMC == nullptr || pPool == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to procedure (pMC: %x, pPool: %x)", function,
               KT_PTR32(pMC), KT_PTR32(pPool));
    return ERROR_INVALID_PARAMETER;
  }
  const char* poolName = ASPoolName(pPool);
  KTStatus status;
  {
    KTLockGuard guard(pMC->lock);
    if (!KTMCServerEntered(guard, pLog)) return guard.status();
    KTStatus queued = STATUS_OK;
    try {
      std::vector<KTMCAnnouncement>& queue = pMC->announcements;
      for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (it->poolName == poolName) {
          queue.erase(it);
          break;
        }
      }
      queue.push_back(KTMCAnnouncement{code, poolName});
    } catch (const std::bad_alloc&) {
      KTLogWrite(pLog, "%s(): error queue announcement of pool %s for [%s]:%hu", function, poolName,
                 pMC->IP, pMC->port);
      queued = ERROR_MEMORY_ALLOCATION;
    }
    status = guard.finish(queued, pLog, kKTMCServerLeaveFailure);
  }
  if (status != STATUS_OK) return status;
  return KTMCServerCacheWackup(pMC, pLog);
}

}  // namespace

long KTMCServerQueueNewPool(void* pElement, va_list args) {
  return queueAnnouncement(pElement, args, MC_REQUEST_NEWPOOL, "KTMCServerQueueNewPool");
}

long KTMCServerQueueReleasePool(void* pElement, va_list args) {
  return queueAnnouncement(pElement, args, MC_REQUEST_RELEASEPOOL, "KTMCServerQueueReleasePool");
}

KTStatus KTMCServerSendAnnouncements(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerSendAnnouncements(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<KTMCAnnouncement> queued;
  {
    KTLockGuard guard(pMC->lock);
    if (!KTMCServerEntered(guard, pLog)) {
      KTLogWrite(pLog, "KTMCServerSendAnnouncements(): error lock MC.");
      return guard.status();
    }
    queued.swap(pMC->announcements);
    KTStatus status = guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerSendAnnouncements(): error unlock MC.");
      return status;
    }
  }
  for (const KTMCAnnouncement& a : queued) {
    KTStatus status = KTMCServerSendPoolMessage(pMC, a.code, a.poolName.c_str(), pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerSendAnnouncements(): error send announcement %d of pool %s (%d)", a.code,
                 a.poolName.c_str(), status);
    }
  }
  return STATUS_OK;
}

KTStatus KTMCServerWaitForChange(KTMCServer* pMC, int timeoutMs, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerWaitForChange(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTConditionWait(pMC->pCondition, timeoutMs);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerWaitForChange(): KTConditionWait() failed (%d)", status);
  }
  return status;
}
