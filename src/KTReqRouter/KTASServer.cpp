/* KTASServer.cpp - the router's record of one application server: address, pool, state, statistics.
 *
 * The message-center handler drives the state changes, the selection marks
 * a server assigned, and the monitor prints one line per record. The
 * processing-time statistics run from the assignment to the idle report
 * that follows a working report. Every text copied into the record's fixed
 * arrays is bounded: host and pool name are refused when too long (they
 * identify the server), the last-request texts are cut to their arrays.
 */
#include "KTASServer.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTSocket.h"
#include "KTString.h"
#include "VXASRequestInfo.h"
#include "VXCacheInfo.h"
#include "internal/KTASServerInternal.h"

const char* const ASStatusNames[KTASSTATUS_COUNT] = {"down", "idle", "assigned", "working",
                                                     "monitor"};

namespace {

/* Copies a last-request text into its array and publishes its key. */
void setLastText(char* dst, size_t size, std::atomic<uint64_t>& key, const char* src) {
  KTStrCopyBounded(dst, size, src);
  key.store(KTASServerTextKey(dst, size), std::memory_order_relaxed);
}

/* The monitor text of a last-request field: "(NULL)" when empty. */
const char* orNull(const char* text) { return text[0] != '\0' ? text : KTASSERVER_NULL_TEXT; }

/* The printed name of a state; out-of-range values (a corrupt record) print as "unknown". */
const char* statusName(KTASStatus status) {
  int index = (int)status;
  return (index >= 0 && index < KTASSTATUS_COUNT) ? ASStatusNames[index] : "unknown";
}

/* Milliseconds from the record's startingTime until now; negative when the clock went back. */
long long elapsedSinceStart(const KTASServer* pAS) KT_REQUIRES(pAS->lock) {
  hrtime now;
  hrtime diff;
  HighResTime(&now);
  HRTimeDiff(&pAS->startingTime, &now, &diff);
  return HRTimeMilliseconds(&diff);
}

void clearQuality(KTASServer* pAS) KT_REQUIRES(pAS->lock) {
  pAS->meanProcessingTime = 0;
  pAS->qualityHits = 0;
  pAS->longRequests = 0;
}

/* Folds the time since the assignment into the statistics: long requests
 * are only counted, others move the exponential moving average (weight 0.2,
 * rounded to the nearest millisecond). */
void updateQuality(KTASServer* pAS) KT_REQUIRES(pAS->lock) {
  pAS->lock.AssertHeld();
  const long long elapsed = elapsedSinceStart(pAS);
  if (elapsed <= 0) return;
  if (elapsed > KTASSERVER_LONG_REQUEST_MS) {
    pAS->longRequests++;
    return;
  }
  pAS->qualityHits++;
  if (pAS->meanProcessingTime == 0) {
    pAS->meanProcessingTime = (uint64_t)elapsed;
  } else {
    const double mean = (double)pAS->meanProcessingTime;
    pAS->meanProcessingTime = (uint64_t)(mean + 0.2 * ((double)elapsed - mean) + 0.5);
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "updateQuality(): %s:%hu took %lld ms, mean now %llu ms", pAS->IP,
              pAS->port, elapsed, (unsigned long long)pAS->meanProcessingTime);
}

/* Releases the parts of a record, continuing past failures; returns the last
 * failing status. Runs only where no other thread can reach the record. */
KTStatus releaseParts(KTASServer* pAS, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  KTStatus result = STATUS_OK;
  if (pAS->pCacheInfo != nullptr) {
    KTStatus status = CacheInfoFree(&pAS->pCacheInfo, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerFree(): Couldn't destroy cache info");
      result = status;
    }
  }
  if (pAS->pTask != nullptr) {
    KTStatus status = KTBufferFree(&pAS->pTask);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerFree(): error destroying task-buffer");
      result = status;
    }
  }
  if (pAS->lock.Created()) {
    KTStatus status = pAS->lock.Destroy();
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerFree(): Couldn't release critical section");
      result = status;
    }
  }
  KTASServerViewFree(pAS->pView);
  pAS->pView = nullptr;
  return result;
}

/* Logs a failed enter of the record's lock as KTASServerLock does; returns its status. */
KTStatus enterFailed(const KTLockGuard& guard, KTLog* pLog) {
  KTLogWrite(pLog, "KTASServerLock(): failed to enter critical section (%d)", guard.status());
  return guard.status();
}

/* Ends an operation that holds the record's lock through `guard`: leaves it
 * and returns the first error, else the leave's status (the guards' rule),
 * logging a failed leave as KTASServerUnlock does. */
KTStatus leave(KTLockGuard& guard, KTStatus status, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  const KTStatus leaveStatus = guard.unlock();
  if (leaveStatus != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerUnlock(): failed to leave critical section(%d)", leaveStatus);
  }
  return KTLockFinish(status, leaveStatus, nullptr, nullptr);
}

/* Gathers the cache figures of a locked record: overflow flag, number of
 * items waiting and, when pData is given, the pending data. A record whose
 * cache info is not (or no longer) registered with a queue has nothing
 * waiting. Returns the cache info's failing status. */
KTStatus cacheFigures(KTASServer* pAS, int* pOverflow, int* pCount, KTBuffer* pData,
                      KTLog* pLog) KT_REQUIRES(pAS->lock) {
  pAS->lock.AssertHeld();
  CacheQueue* pQueue = nullptr;
  KTStatus status = CacheInfoGetOverflow(pAS->pCacheInfo, pOverflow, pLog);
  if (status == STATUS_OK) status = CacheInfoGetQueue(pAS->pCacheInfo, &pQueue, pLog);
  if (status != STATUS_OK) return status;
  *pCount = 0;
  if (pQueue == nullptr) {
    if (pData == nullptr) return STATUS_OK;
    return *pOverflow ? KTBufferBinSet(pData, RR_CACHE_RESET_DATA, sizeof(RR_CACHE_RESET_DATA) - 1)
                      : KTBufferStrSet(pData, "");
  }
  if (*pOverflow == 0) {
    status = CacheInfoCountItems(pAS->pCacheInfo, pCount, pLog);
    if (status != STATUS_OK) return status;
    if (*pCount < 0) *pCount = 0;  /* overflow raised meanwhile: nothing countable waits */
  }
  if (pData != nullptr) status = CacheInfoGetData(pAS->pCacheInfo, pData, pLog);
  return status;
}

/* Appends the monitor line (debug line with the cache data when `debug`) of
 * one record. Returns the failing status; nothing is appended then. */
KTStatus monitorLine(void* pElement, va_list args, bool debug) {
  const char* const caller = debug ? "KTASServerMonitorDebug" : "KTASServerMonitorServer";
  KTASServer* pAS = static_cast<KTASServer*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pAS == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to procedure (pAS: %x, pResponse: %x)", caller,
               KT_PTR32(pAS), KT_PTR32(pResponse));
    return ERROR_INVALID_PARAMETER;
  }
  KTBuffer* pData = nullptr;
  if (debug) {
    KTStatus status = KTBufferStrNew(&pData, "");
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "KTASServerMonitorDebug(): cannot create cache data buffer (%d)", status);
      return status;
    }
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) {
    KTStatus status = enterFailed(guard, pLog);
    KTLogWrite(pLog, "%s(): cannot lock server", caller);
    if (pData != nullptr) KTBufferFree(&pData);
    return status != STATUS_OK ? status : (KTStatus)ERROR_UNKNOWN;
  }
  int overflow = 0;
  int count = 0;
  KTStatus status = cacheFigures(pAS, &overflow, &count, pData, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "%s(): cannot read the cache info (%d)", caller, status);
  } else {
    const time_t now = KTTimeNow();
    unsigned statusGet = 0;
    const char* task = KTBufferGet(pAS->pTask, &statusGet);
    if (task == nullptr) task = KTASSERVER_NULL_TEXT;
    // The plain line ends in a blank; the debug line adds the pending cache data there.
    const char* data = debug ? KTBufferGet(pData, &statusGet) : nullptr;
    status = KTBufferStrAppendf(
        pResponse, "%c %s %s:%hu %d %s %d %d %d %d %d %d %d %s %s %s %s %d %s %d %s\r\n",
        pAS->Type, pAS->PoolName, pAS->IP, pAS->port, (int)pAS->pid,
        statusName(pAS->pView->ASStatus.load(std::memory_order_relaxed)),
        (int)(now - pAS->lastContact), (int)pAS->hits, (int)pAS->longRequests,
        (int)pAS->qualityHits, (int)pAS->meanProcessingTime, overflow, count,
        orNull(pAS->lastSiteGUID), task, orNull(pAS->lastClientIP), orNull(pAS->lastExtension),
        pAS->pView->priority, orNull(pAS->lastStoreName), (int)(now - pAS->pView->lastUse.load(std::memory_order_relaxed)),
        data != nullptr ? data : "");
    if (status != STATUS_OK) KTLogWrite(pLog, "%s(): cannot write buffer (%d)", caller, status);
  }
  status = leave(guard, status, pLog);
  if (pData != nullptr) KTBufferFree(&pData);
  return status;
}

bool isText(KTASServerText which) {
  return (int)which >= (int)KTASSERVER_TEXT_POOLNAME && (int)which <= (int)KTASSERVER_TEXT_EXTENSION;
}

/* One of the record's texts; the task reads "(NULL)" when its buffer fails. */
const char* textOf(KTASServer* pAS, KTASServerText which) KT_REQUIRES(pAS->lock) {
  unsigned statusGet = 0;
  const char* text = nullptr;
  switch (which) {
    case KTASSERVER_TEXT_POOLNAME: text = pAS->PoolName; break;
    case KTASSERVER_TEXT_TASK: text = KTBufferGet(pAS->pTask, &statusGet); break;
    case KTASSERVER_TEXT_CLIENTIP: text = pAS->lastClientIP; break;
    case KTASSERVER_TEXT_SITEGUID: text = pAS->lastSiteGUID; break;
    case KTASSERVER_TEXT_STORENAME: text = pAS->lastStoreName; break;
    case KTASSERVER_TEXT_EXTENSION: text = pAS->lastExtension; break;
  }
  return text != nullptr ? text : KTASSERVER_NULL_TEXT;
}

/* Fills a fresh record whose parts exist, before any other thread sees it. */
void initFields(KTASServer* pAS, const char* PoolName, const char* IP, unsigned short port,
                int priority, uint32_t pid) KT_NO_THREAD_SAFETY_ANALYSIS {
  pAS->SocketFd = -1;
  KTStrCopyBounded(pAS->IP, sizeof(pAS->IP), IP);
  KTStrCopyBounded(pAS->PoolName, sizeof(pAS->PoolName), PoolName);
  pAS->Type = 'S';
  pAS->port = port;
  pAS->pView->port = port;
  pAS->pView->ASStatus = KTASSTATUS_IDLE;
  pAS->lastContact = KTTimeNow();
  pAS->pView->lastUse = pAS->lastContact;
  pAS->pid = pid;
  pAS->pView->priority = priority;
  HighResTime(&pAS->startingTime);
  pAS->hits = 0;
  clearQuality(pAS);
  setLastText(pAS->lastClientIP, sizeof(pAS->lastClientIP), pAS->pView->lastClientKey, "");
  setLastText(pAS->lastSiteGUID, sizeof(pAS->lastSiteGUID), pAS->pView->lastSiteKey, "");
  setLastText(pAS->lastExtension, sizeof(pAS->lastExtension), pAS->pView->lastExtensionKey, "");
}

}  // namespace

/* Never fails: FNV-1a over the stored characters. */
uint64_t KTASServerTextKey(const char* text, size_t size) {
  uint64_t hash = 14695981039346656037ULL;
  if (text == nullptr || size == 0) return hash;
  for (size_t i = 0; i + 1 < size && text[i] != '\0'; ++i) {
    hash ^= (unsigned char)text[i];
    hash *= 1099511628211ULL;
  }
  return hash;
}

KTStatus KTASServerNew(KTASServer** ppKTASSrv, const char* PoolName, const char* IP,
                       unsigned short port, int priority, uint32_t pid, KTLog* pLog) {
  if (ppKTASSrv == nullptr || *ppKTASSrv != nullptr || PoolName == nullptr || IP == nullptr) {
    KTLogWrite(pLog,
               "KTASServerNew(): wrong arguments passed to procedure (ppKTASSrv: %x, PoolName: %s, IP: %s)",
               KT_PTR32(ppKTASSrv), PoolName != nullptr ? PoolName : "(null)",
               IP != nullptr ? IP : "(null)");
    return ERROR_INVALID_PARAMETER;
  }
  const size_t ipLength = strlen(IP);
  if (ipLength >= KTASSERVER_IP_SIZE) {
    KTLogWrite(pLog, "KTASServerNew(): host too long (%d characters, at most %d): %.64s...",
               (int)ipLength, KTASSERVER_IP_SIZE - 1, IP);
    return ERROR_INVALID_PARAMETER;
  }
  const size_t poolLength = strlen(PoolName);
  if (poolLength >= KTASSERVER_POOLNAME_SIZE) {
    KTLogWrite(pLog, "KTASServerNew(): pool name too long (%d characters, at most %d): %.64s...",
               (int)poolLength, KTASSERVER_POOLNAME_SIZE - 1, PoolName);
    return ERROR_INVALID_PARAMETER;
  }
  KTASServer* pAS = new (std::nothrow) KTASServer();
  if (pAS != nullptr && (pAS->pView = KTASServerViewNew(pAS)) == nullptr) {
    delete pAS;
    pAS = nullptr;
  }
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerNew(): error allow memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = pAS->lock.Create();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerNew(): error creating critical section (%d)", status);
  } else if ((status = KTBufferStrNew(&pAS->pTask, KTASSERVER_NULL_TEXT)) != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerNew(): error creating buffer");
  } else if ((status = CacheInfoNew(&pAS->pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerNew(): error creating cache info");
  }
  if (status != STATUS_OK) {
    releaseParts(pAS, pLog);
    delete pAS;
    return status;
  }
  initFields(pAS, PoolName, IP, port, priority, pid);
  *ppKTASSrv = pAS;
  return STATUS_OK;
}

KTStatus KTASServerFree(KTASServer** ppKTASSrv, KTLog* pLog) {
  if (ppKTASSrv == nullptr || *ppKTASSrv == nullptr) {
    KTLogWrite(pLog, "KTASServerFree(): wrong arguments passed to procedure (ppKTASSrv: %x)",
               KT_PTR32(ppKTASSrv));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = releaseParts(*ppKTASSrv, pLog);
  delete *ppKTASSrv;
  *ppKTASSrv = nullptr;
  return status;
}

/* Not analysed: the lock is held on return only when *pLocked is 1. */
KTStatus KTASServerLock(KTASServer* pAS, int* pLocked, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pLocked != nullptr) *pLocked = 0;
  if (pAS == nullptr || pLocked == nullptr || !pAS->lock.Created()) {
    KTLogWrite(pLog, "KTASServerLock(): wrong arguments passed to procedure (pAS: %x, pLocked: %x)",
               KT_PTR32(pAS), KT_PTR32(pLocked));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pAS->lock.Lock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerLock(): failed to enter critical section (%d)", status);
    return status;
  }
  *pLocked = 1;
  return STATUS_OK;
}

/* Not analysed: a null record holds nothing to leave. */
KTStatus KTASServerUnlock(KTASServer* pAS, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pAS == nullptr || !pAS->lock.Created()) {
    KTLogWrite(pLog, "KTASServerUnlock(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pAS->lock.Unlock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerUnlock(): failed to leave critical section(%d)", status);
  }
  return status;
}

KTMutex& KTASServerMutex(KTASServer* pAS) { return pAS->lock; }

const char* KTASServerGetIP(const KTASServer* pAS) { return pAS != nullptr ? pAS->IP : ""; }
unsigned short KTASServerGetPort(const KTASServer* pAS) { return pAS != nullptr ? pAS->port : 0; }

const char* KTASServerGetClientIP(KTASServer* pAS) { return pAS != nullptr ? pAS->lastClientIP : ""; }
const char* KTASServerGetSiteGUID(KTASServer* pAS) { return pAS != nullptr ? pAS->lastSiteGUID : ""; }
const char* KTASServerGetExtension(KTASServer* pAS) {
  return pAS != nullptr ? pAS->lastExtension : "";
}
time_t KTASServerGetLastUse(KTASServer* pAS) {
  return pAS != nullptr ? pAS->pView->lastUse.load(std::memory_order_relaxed) : 0;
}

KTStatus KTASServerGetHost(KTASServer* pAS, KTBuffer* pIP, unsigned short* pPort, KTLog* pLog) {
  if (pAS == nullptr || pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTASServerGetHost(): wrong arguments passed to procedure (pAS: %x, pIP: %x, pPort: %x)",
               KT_PTR32(pAS), KT_PTR32(pIP), KT_PTR32(pPort));
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pIP, pAS->IP);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerGetHost(): error setting IP buffer");
    return status;
  }
  *pPort = pAS->port;
  return STATUS_OK;
}

KTStatus KTASServerGetPriority(KTASServer* pAS, int* pPriority, KTLog* pLog) {
  if (pAS == nullptr || pPriority == nullptr) {
    KTLogWrite(pLog, "KTASServerGetPriority(): wrong arguments passed to procedure (pAS: %x, pPriority: %x)",
               KT_PTR32(pAS), KT_PTR32(pPriority));
    return ERROR_INVALID_PARAMETER;
  }
  *pPriority = pAS->pView->priority;
  return STATUS_OK;
}

KTStatus KTASServerSetPoolName(KTASServer* pAS, const char* PoolName, KTLog* pLog) {
  if (pAS == nullptr || PoolName == nullptr) {
    KTLogWrite(pLog, "KTASServerSetPoolName(): wrong arguments passed to procedure (pAS: %x, PoolName: %x)",
               KT_PTR32(pAS), KT_PTR32(PoolName));
    return ERROR_INVALID_PARAMETER;
  }
  const size_t length = strlen(PoolName);
  if (length >= KTASSERVER_POOLNAME_SIZE) {
    KTLogWrite(pLog, "KTASServerSetPoolName(): pool name too long (%d characters, at most %d): %.64s...",
               (int)length, KTASSERVER_POOLNAME_SIZE - 1, PoolName);
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStrCopyBounded(pAS->PoolName, sizeof(pAS->PoolName), PoolName);
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerGetCacheInfo(KTASServer* pAS, CacheInfo** ppCacheInfo, KTLog* pLog) {
  if (pAS == nullptr || ppCacheInfo == nullptr || *ppCacheInfo != nullptr) {
    KTLogWrite(pLog, "KTASServerGetCacheInfo(): wrong arguments passed to procedure (pAS: %x, ppCacheInfo: %x)",
               KT_PTR32(pAS), KT_PTR32(ppCacheInfo));
    return ERROR_INVALID_PARAMETER;
  }
  *ppCacheInfo = pAS->pCacheInfo;
  return STATUS_OK;
}

KTStatus KTASServerSetCacheIndex(KTASServer* pAS, int index, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerSetCacheIndex(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  return CacheInfoSetCacheIndex(pAS->pCacheInfo, index, pLog);
}

KTStatus KTASServerGetCacheIndex(KTASServer* pAS, int* pIndex, KTLog* pLog) {
  if (pAS == nullptr || pIndex == nullptr) {
    KTLogWrite(pLog, "KTASServerGetCacheIndex(): wrong arguments passed to procedure (pAS: %x, pIndex: %x)",
               KT_PTR32(pAS), KT_PTR32(pIndex));
    return ERROR_INVALID_PARAMETER;
  }
  return CacheInfoGetCacheIndex(pAS->pCacheInfo, pIndex, pLog);
}

KTStatus KTASServerSetOverflow(KTASServer* pAS, int overflow, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerSetOverflow(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  return CacheInfoSetOverflow(pAS->pCacheInfo, overflow, pLog);
}

KTStatus KTASServerGetOverflow(KTASServer* pAS, int* pOverflow, KTLog* pLog) {
  if (pAS == nullptr || pOverflow == nullptr) {
    KTLogWrite(pLog, "KTASServerGetOverflow(): wrong arguments passed to procedure (pAS: %x, pOverflow: %x)",
               KT_PTR32(pAS), KT_PTR32(pOverflow));
    return ERROR_INVALID_PARAMETER;
  }
  return CacheInfoGetOverflow(pAS->pCacheInfo, pOverflow, pLog);
}

KTStatus KTASServerGetStatus(KTASServer* pAS, KTASStatus* pStatus, KTLog* pLog) {
  if (pAS == nullptr || pStatus == nullptr) {
    KTLogWrite(pLog, "KTASServerGetStatus(): wrong arguments passed to procedure (pAS: %x, pStatus: %x)",
               KT_PTR32(pAS), KT_PTR32(pStatus));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  *pStatus = pAS->pView->ASStatus;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerGetQuality(KTASServer* pAS, uint64_t* pQuality, KTLog* pLog) {
  if (pAS == nullptr || pQuality == nullptr) {
    KTLogWrite(pLog, "KTASServerGetQuality(): wrong arguments passed to procedure (pAS: %x, pQuality: %x)",
               KT_PTR32(pAS), KT_PTR32(pQuality));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  *pQuality = pAS->meanProcessingTime;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerGetFigures(KTASServer* pAS, KTASServerFigures* pFigures, KTLog* pLog) {
  if (pAS == nullptr || pFigures == nullptr) {
    KTLogWrite(pLog, "KTASServerGetFigures(): wrong arguments passed to procedure (pAS: %x, pFigures: %x)",
               KT_PTR32(pAS), KT_PTR32(pFigures));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  pFigures->state = pAS->pView->ASStatus.load(std::memory_order_relaxed);
  pFigures->type = pAS->Type;
  pFigures->socketFd = pAS->SocketFd;
  pFigures->pid = pAS->pid;
  pFigures->hits = pAS->hits;
  pFigures->qualityHits = pAS->qualityHits;
  pFigures->longRequests = pAS->longRequests;
  pFigures->meanProcessingTime = pAS->meanProcessingTime;
  pFigures->lastContact = pAS->lastContact;
  pFigures->lastUse = pAS->pView->lastUse.load(std::memory_order_relaxed);
  pFigures->startingTime = pAS->startingTime;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerGetText(KTASServer* pAS, KTASServerText which, KTBuffer* pText, KTLog* pLog) {
  if (pAS == nullptr || pText == nullptr || !isText(which)) {
    KTLogWrite(pLog, "KTASServerGetText(): wrong arguments passed to procedure (pAS: %x, which: %d, pText: %x)",
               KT_PTR32(pAS), (int)which, KT_PTR32(pText));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStatus status = KTBufferStrSet(pText, textOf(pAS, which));
  if (status != STATUS_OK) KTLogWrite(pLog, "KTASServerGetText(): error setting the buffer (%d)", status);
  return leave(guard, status, pLog);
}

KTStatus KTASServerTextEquals(KTASServer* pAS, KTASServerText which, const char* text,
                              int* pMatches, int* pBusy, KTLog* pLog) {
  if (pAS == nullptr || text == nullptr || pMatches == nullptr || !isText(which)) {
    KTLogWrite(pLog, "KTASServerTextEquals(): wrong arguments passed to procedure (pAS: %x, which: %d, text: %x, pMatches: %x)",
               KT_PTR32(pAS), (int)which, KT_PTR32(text), KT_PTR32(pMatches));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  *pMatches = strcmp(textOf(pAS, which), text) == 0 ? 1 : 0;
  if (pBusy != nullptr) *pBusy = KTASStatusIsBusy(pAS->pView->ASStatus.load(std::memory_order_relaxed)) ? 1 : 0;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerMatches(KTASServer* pAS, const char* IP, unsigned short port, int* pMatches,
                           KTLog* pLog) {
  if (pAS == nullptr || IP == nullptr || pMatches == nullptr) {
    KTLogWrite(pLog, "KTASServerMatches(): wrong arguments passed to procedure (pAS: %x, IP: %x, pMatches: %x)",
               KT_PTR32(pAS), KT_PTR32(IP), KT_PTR32(pMatches));
    return ERROR_INVALID_PARAMETER;
  }
  *pMatches = (pAS->port == port && strcmp(pAS->IP, IP) == 0) ? 1 : 0;
  return STATUS_OK;
}

KTStatus KTASServerMatchServer(KTASServer* pAS, KTASServer* pASMatch, int* pMatches, KTLog* pLog) {
  if (pAS == nullptr || pASMatch == nullptr || pMatches == nullptr) {
    KTLogWrite(pLog, "KTASServerMatchServer(): wrong arguments passed to procedure (pAS: %x, pASMatch: %x, pMatches: %x)",
               KT_PTR32(pAS), KT_PTR32(pASMatch), KT_PTR32(pMatches));
    return ERROR_INVALID_PARAMETER;
  }
  return KTASServerMatches(pAS, pASMatch->IP, pASMatch->port, pMatches, pLog);
}

KTStatus KTASServerSetSocket(KTASServer* pAS, KTSocket* pSocket, KTLog* pLog) {
  if (pAS == nullptr || pSocket == nullptr) {
    KTLogWrite(pLog, "KTASServerSetSocket(): wrong arguments passed to procedure (pAS: %x, pSocket: %x)",
               KT_PTR32(pAS), KT_PTR32(pSocket));
    return ERROR_INVALID_PARAMETER;
  }
  int fd = -1;
  KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerSetSocket(): get socket file descriptor");
    return status;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  pAS->SocketFd = fd;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerSocketMatches(KTASServer* pAS, KTSocket* pSocket, int* pResult, KTLog* pLog) {
  if (pAS == nullptr || pSocket == nullptr || pResult == nullptr) {
    KTLogWrite(pLog, "KTASServerSocketMatches(): wrong arguments passed to procedure (pAS: %x, pSocket: %x, pResult: %x)",
               KT_PTR32(pAS), KT_PTR32(pSocket), KT_PTR32(pResult));
    return ERROR_INVALID_PARAMETER;
  }
  *pResult = 0;
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  int fd = -1;
  KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
  if (status == STATUS_OK) {
    *pResult = (fd == pAS->SocketFd) ? 1 : 0;
  } else {
    KTLogWrite(pLog, "KTASServerSocketMatches(): get socket file descriptor");
  }
  return leave(guard, status, pLog);
}

KTStatus KTASServerSetIdle(KTASServer* pAS, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerSetIdle(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  KTStatus status = STATUS_OK;
  pAS->lastContact = KTTimeNow();
  switch (pAS->pView->ASStatus) {
    case KTASSTATUS_WORKING:
      updateQuality(pAS);
      pAS->pView->ASStatus = KTASSTATUS_IDLE;
      break;
    case KTASSTATUS_MONITOR:
      pAS->pView->ASStatus = KTASSTATUS_IDLE;
      break;
    case KTASSTATUS_ASSIGNED:
      // The server reports idle before it has seen the assigned request when
      // the web adapter is still on its way; only a long silence ends the
      // assignment (the request never arrived).
      if (elapsedSinceStart(pAS) > KTASSERVER_ASSIGNED_TIMEOUT_MS) {
        pAS->pView->ASStatus = KTASSTATUS_IDLE;
      }
      break;
    case KTASSTATUS_IDLE:
      break;
    case KTASSTATUS_SHUTDOWN:
      status = KTBufferStrSet(pAS->pTask, KTASSERVER_NULL_TEXT);
      if (status != STATUS_OK) {
        KTLogWrite(pLog, "KTASServerSetIdle(): error setting the task buffer (%d)", status);
      }
      pAS->pView->ASStatus = KTASSTATUS_IDLE;
      break;
    default:
      KTLogWrite(pLog, "KTASServerSetIdle(): unknown error, method was called in state %d",
                 (int)pAS->pView->ASStatus);
      status = ERROR_UNKNOWN;
      break;
  }
  return leave(guard, status, pLog);
}

KTStatus KTASServerSetAssigned(KTASServer* pAS, const CASRequestInfo* pRequestInfo, KTLog* pLog) {
  if (pAS == nullptr || pRequestInfo == nullptr) {
    KTLogWrite(pLog, "KTASServerSetAssigned(): wrong arguments passed to procedure (pAS: %x, pRequestInfo: %x)",
               KT_PTR32(pAS), KT_PTR32(pRequestInfo));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  if (pAS->pView->ASStatus != KTASSTATUS_IDLE) {
    KTLogWrite(pLog, "KTASServerSetAssigned(): method was called in an invalid state %d",
               (int)pAS->pView->ASStatus);
    return leave(guard, ERROR_UNKNOWN, pLog);
  }
  KTStatus status = KTBufferStrSet(pAS->pTask, ASRequestInfoGetURI(pRequestInfo));
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerSetAssigned(): error setting the buffer to the given task (%d)",
               status);
    return leave(guard, status, pLog);
  }
  setLastText(pAS->lastSiteGUID, sizeof(pAS->lastSiteGUID), pAS->pView->lastSiteKey,
              ASRequestInfoGetSiteGUID(pRequestInfo));
  KTStrCopyBounded(pAS->lastStoreName, sizeof(pAS->lastStoreName),
                   ASRequestInfoGetStoreName(pRequestInfo));
  setLastText(pAS->lastClientIP, sizeof(pAS->lastClientIP), pAS->pView->lastClientKey,
              ASRequestInfoGetClientIP(pRequestInfo));
  setLastText(pAS->lastExtension, sizeof(pAS->lastExtension), pAS->pView->lastExtensionKey,
              ASRequestInfoGetExtension(pRequestInfo));
  pAS->pView->ASStatus = KTASSTATUS_ASSIGNED;
  HighResTime(&pAS->startingTime);
  pAS->hits++;
  pAS->pView->lastUse.store(pAS->startingTime.sec, std::memory_order_relaxed);
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerSetWorking(KTASServer* pAS, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerSetWorking(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  // A server being monitored stays so until it reports idle.
  if (pAS->pView->ASStatus != KTASSTATUS_MONITOR) pAS->pView->ASStatus = KTASSTATUS_WORKING;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerStartMonitor(KTASServer* pAS, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerStartMonitor(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  if (pAS->pView->ASStatus != KTASSTATUS_WORKING) {
    KTLogWrite(pLog, "KTASServerStartMonitor(): method was called in an invalid state %d",
               (int)pAS->pView->ASStatus);
    return leave(guard, ERROR_UNKNOWN, pLog);
  }
  pAS->pView->ASStatus = KTASSTATUS_MONITOR;
  pAS->lastContact = KTTimeNow();
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerSetShutdown(KTASServer* pAS, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerSetShutdown(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  pAS->pView->ASStatus = KTASSTATUS_SHUTDOWN;
  pAS->SocketFd = -1;
  pAS->hits = 0;
  KTStatus status = KTBufferStrSet(pAS->pTask, KTASSERVER_NULL_TEXT);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTASServerSetShutdown(): error setting task buffer (%d)", status);
  }
  // "(NULL)" never equals a real client or site, so a server that comes back
  // is not preferred by affinity to its old clients.
  setLastText(pAS->lastClientIP, sizeof(pAS->lastClientIP), pAS->pView->lastClientKey,
              KTASSERVER_NULL_TEXT);
  setLastText(pAS->lastSiteGUID, sizeof(pAS->lastSiteGUID), pAS->pView->lastSiteKey,
              KTASSERVER_NULL_TEXT);
  setLastText(pAS->lastExtension, sizeof(pAS->lastExtension), pAS->pView->lastExtensionKey,
              KTASSERVER_NULL_TEXT);
  clearQuality(pAS);
  return leave(guard, status, pLog);
}

long KTASServerMonitorServer(void* pElement, va_list args) {
  return monitorLine(pElement, args, false);
}

long KTASServerMonitorDebug(void* pElement, va_list args) {
  return monitorLine(pElement, args, true);
}

KTStatus KTASServerTestSetFigures(KTASServer* pAS, const KTASServerFigures* pFigures, KTLog* pLog) {
  if (pAS == nullptr || pFigures == nullptr) {
    KTLogWrite(pLog, "KTASServerTestSetFigures(): wrong arguments passed to procedure (pAS: %x, pFigures: %x)",
               KT_PTR32(pAS), KT_PTR32(pFigures));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  pAS->pView->ASStatus = pFigures->state;
  pAS->hits = pFigures->hits;
  pAS->qualityHits = pFigures->qualityHits;
  pAS->longRequests = pFigures->longRequests;
  pAS->meanProcessingTime = pFigures->meanProcessingTime;
  return leave(guard, STATUS_OK, pLog);
}

KTStatus KTASServerTestSetKeys(KTASServer* pAS, uint64_t clientKey, uint64_t siteKey,
                               uint64_t extensionKey, KTLog* pLog) {
  if (pAS == nullptr) {
    KTLogWrite(pLog, "KTASServerTestSetKeys(): wrong arguments passed to procedure (pAS: %x)",
               KT_PTR32(pAS));
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pAS->lock);
  if (!guard.locked()) return enterFailed(guard, pLog);
  pAS->pView->lastClientKey.store(clientKey, std::memory_order_relaxed);
  pAS->pView->lastSiteKey.store(siteKey, std::memory_order_relaxed);
  pAS->pView->lastExtensionKey.store(extensionKey, std::memory_order_relaxed);
  return leave(guard, STATUS_OK, pLog);
}
