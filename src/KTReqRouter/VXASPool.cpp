/* VXASPool.cpp - a pool of application servers with its peer routers and cache queues.
 *
 * Cache data flows through two queues: what servers and scripts hand in is
 * queued for the pool's servers (pASQueue) and, when it did not arrive as a
 * broadcast and the pool has peers, for the peers (pMCQueue), whose send
 * threads are then woken. The pool announces its first server to every peer
 * router and its last server's departure, synchronously from the calling
 * thread.
 */
#include "VXASPool.h"

#include <stdarg.h>
#include <string.h>

#include <initializer_list>
#include <new>

#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTSocket.h"
#include "VXASRequestInfo.h"
#include "VXCacheInfo.h"
#include "internal/VXASPoolInternal.h"

namespace {

/* The servers of a pool per state, counted in one pass. */
struct StateCounts {
  int byState[KTASSTATUS_COUNT];
};

/* Server-list iterator counting states. Variable arguments: StateCounts*, KTLog*. */
long countState(void* pElement, va_list args) {
  StateCounts* pCounts = va_arg(args, StateCounts*);
  KTLog* pLog = va_arg(args, KTLog*);
  KTASStatus state = KTASSTATUS_SHUTDOWN;
  KTStatus status = KTASServerGetStatus(static_cast<KTASServer*>(pElement), &state, pLog);
  if (status != STATUS_OK) return status;
  if ((int)state >= 0 && (int)state < KTASSTATUS_COUNT) ++pCounts->byState[state];
  return STATUS_OK;
}

/* Queues data for the pool's peers and wakes their send threads; with no
 * peers nothing is queued. Returns the failing step's status. */
KTStatus _ASPoolAddMCData(ASPool* pPool, const char* data, KTLog* pLog) {
  int peers = 0;
  KTStatus status = KTMCServerListSize(pPool->pMCServerList, &peers, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_ASPoolAddMCData(): error counting MC servers (%d)", status);
    return status;
  }
  if (peers == 0) return STATUS_OK;
  status = CacheQueueAddData(pPool->pMCQueue, data, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_ASPoolAddMCData(): error adding data to queue (%d)", status);
    return status;
  }
  status = KTMCServerListWackup(pPool->pMCServerList, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "_ASPoolAddMCData(): error waking up the MC threads (%d)", status);
  }
  return status;
}

/* Tells every peer of pMCList about the pool (iterator: code 21 or 22,
 * queued for each peer's send thread). Returns the first failure to queue. */
KTStatus informPeers(ASPool* pPool, KTMCServerList* pMCList, KTListIterator iterator,
                     KTLog* pLog) {
  return KTMCServerListForEach(pMCList, iterator, pLog, pPool, pLog);
}

/* Counts one event; cannot fail. */
void bump(std::atomic<int>& counter) { counter.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

/* Pool lifetime and access ----------------------------------------------------- */

KTStatus ASPoolNew(ASPool** ppASPool, const char* name, int maxCacheItems, KTLog* pLog) {
  if (ppASPool == nullptr || *ppASPool != nullptr || name == nullptr) {
    KTLogWrite(pLog, "ASPoolNew(): wrong arguments passed to procedure (ppASPool: %x, name: %s)",
               KT_PTR32(ppASPool), name != nullptr ? name : "(null)");
    return ERROR_INVALID_PARAMETER;
  }
  const size_t length = strlen(name);
  if (length >= ASPOOL_NAME_SIZE) {
    KTLogWrite(pLog, "ASPoolNew(): pool name too long (%d characters, at most %d)", (int)length,
               ASPOOL_NAME_SIZE - 1);
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = new (std::nothrow) ASPool();  // value-initialised: all zero
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolNew(): error calloc pool.");
    return ERROR_MEMORY_ALLOCATION;
  }
  memcpy(pPool->name, name, length + 1);
  KTStatus status = KTASServerListNew(&pPool->pServerList, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolNew(): error creating pServerList (%d)", status);
  } else if ((status = CacheQueueNew(&pPool->pASQueue, maxCacheItems, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolNew(): error creating cache queue (%d) ", status);
  } else if ((status = KTMCServerListNew(&pPool->pMCServerList, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolNew(): error creating pMCServerList (%d)", status);
  } else if ((status = CacheQueueNew(&pPool->pMCQueue, maxCacheItems, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolNew(): error creating pMCQueue (%d)", status);
  }
  if (status != STATUS_OK) {
    ASPoolFree(&pPool, pLog);
    return status;
  }
  *ppASPool = pPool;
  return STATUS_OK;
}

KTStatus ASPoolFree(ASPool** ppASPool, KTLog* pLog) {
  if (ppASPool == nullptr || *ppASPool == nullptr) {
    KTLogWrite(pLog, "ASPoolFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  ASPool* pPool = *ppASPool;
  KTStatus result = STATUS_OK;
  KTStatus status;
  if (pPool->pASQueue != nullptr && (status = CacheQueueFree(&pPool->pASQueue, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolFree(): Couldn't release cache queue (%d)", status);
    result = status;
  }
  if (pPool->pMCQueue != nullptr && (status = CacheQueueFree(&pPool->pMCQueue, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolFree(): Couldn't release cache queue (%d)", status);
    result = status;
  }
  if (pPool->pServerList != nullptr) {
    if ((status = KTASServerListCleanup(pPool->pServerList, pLog)) != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolFree(): Couldn't clean application server list (%d)", status);
      result = status;
    }
    if ((status = KTASServerListFree(&pPool->pServerList, pLog)) != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolFree(): Couldn't release application server list (%d)", status);
      result = status;
    }
  }
  if (pPool->pMCServerList != nullptr) {
    // The peer records belong to the router's global list: drop, never free them here.
    status = KTMCServerListClear(pPool->pMCServerList, pLog);
    if (status == STATUS_OK) status = KTMCServerListFree(&pPool->pMCServerList, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolFree(): Couldn't release message center list (%d)", status);
      result = status;
    }
  }
  delete pPool;
  *ppASPool = nullptr;
  return result;
}

KTStatus ASPoolGetASQueue(ASPool* pASPool, CacheQueue** ppCacheQueue, KTLog* pLog) {
  if (pASPool == nullptr || ppCacheQueue == nullptr || *ppCacheQueue != nullptr) {
    KTLogWrite(pLog, "ASPoolGetASQueue(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *ppCacheQueue = pASPool->pASQueue;
  return STATUS_OK;
}

KTStatus ASPoolGetMCQueue(ASPool* pASPool, CacheQueue** ppCacheQueue, KTLog* pLog) {
  if (pASPool == nullptr || ppCacheQueue == nullptr || *ppCacheQueue != nullptr) {
    KTLogWrite(pLog, "ASPoolGetMCQueue(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *ppCacheQueue = pASPool->pMCQueue;
  return STATUS_OK;
}

const char* ASPoolName(const ASPool* pPool) { return pPool != nullptr ? pPool->name : ""; }

KTStatus ASPoolGetName(ASPool* pASPool, char* pName, int size, KTLog* pLog) {
  if (pASPool == nullptr || pName == nullptr) {
    KTLogWrite(pLog, "ASPoolGetName(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  const int length = (int)strlen(pASPool->name);
  if (size < length + 1) {
    KTLogWrite(pLog, "ASPoolGetName(): string too shortprocedure (name %s, size: %d, length: %d)",
               pASPool->name, size, length);
    return ERROR_INVALID_PARAMETER;
  }
  memcpy(pName, pASPool->name, (size_t)length + 1);
  return STATUS_OK;
}

KTStatus ASPoolMatches(ASPool* pPool, const char* name, int* pMatches, KTLog* pLog) {
  if (pPool == nullptr || name == nullptr || pMatches == nullptr) {
    KTLogWrite(pLog, "ASPoolMatches(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pMatches = strcmp(pPool->name, name) == 0 ? 1 : 0;
  return STATUS_OK;
}

KTStatus ASPoolIsEmpty(ASPool* pPool, int* pIsEmpty, KTLog* pLog) {
  if (pPool == nullptr || pIsEmpty == nullptr) {
    KTLogWrite(pLog, "ASPoolIsEmpty(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int servers = 0;
  int peers = 0;
  KTStatus status = KTASServerListSize(pPool->pServerList, &servers, pLog);
  if (status == STATUS_OK) status = KTMCServerListSize(pPool->pMCServerList, &peers, pLog);
  if (status != STATUS_OK) return status;
  *pIsEmpty = (servers == 0 && peers == 0) ? 1 : 0;
  return STATUS_OK;
}

KTStatus ASPoolGetPeerCount(ASPool* pPool, int* pCount, KTLog* pLog) {
  if (pPool == nullptr || pCount == nullptr) {
    KTLogWrite(pLog, "ASPoolGetPeerCount(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTMCServerListSize(pPool->pMCServerList, pCount, pLog);
}

/* Servers ------------------------------------------------------------------------ */

KTStatus ASPoolAddServer(ASPool* pASPool, KTASServer* pAS, KTMCServerList* pMCList, KTLog* pLog) {
  if (pASPool == nullptr || pAS == nullptr || pMCList == nullptr) {
    KTLogWrite(pLog, "ASPoolAddServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int count = 0;
  KTStatus status = KTASServerListSize(pASPool->pServerList, &count, pLog);
  if (status != STATUS_OK) return status;
  if (count == 0) {
    status = informPeers(pASPool, pMCList, KTMCServerQueueNewPool, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolAddServer(): error inform other MCs (%d)", status);
      return status;
    }
  }
  status = KTASServerListAdd(pASPool->pServerList, pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddServer(): Couldn't add application server to list (%d)", status);
  } else {
    CacheInfo* pCacheInfo = nullptr;
    status = KTASServerGetCacheInfo(pAS, &pCacheInfo, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolAddServer(): Couldn't get cache info from AS (%d)", status);
    } else if ((status = CacheQueueAddServer(pASPool->pASQueue, pCacheInfo, pLog)) != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolAddServer(): Couldn't init application server on cache queue (%d)",
                 status);
    }
    // The caller frees a server it could not add: it must not stay listed.
    if (status != STATUS_OK) KTASServerListRemove(pASPool->pServerList, pAS, pLog);
  }
  if (status != STATUS_OK && count == 0) {
    // The pool was announced for this server; the peers must not keep it.
    informPeers(pASPool, pMCList, KTMCServerQueueReleasePool, pLog);
  }
  return status;
}

KTStatus ASPoolRemoveServer(ASPool* pASPool, KTASServer* pAS, KTMCServerList* pMCList,
                            KTLog* pLog) {
  if (pASPool == nullptr || pAS == nullptr || pMCList == nullptr) {
    KTLogWrite(pLog, "ASPoolRemoveServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus result = STATUS_OK;
  KTStatus status = KTASServerListRemove(pASPool->pServerList, pAS, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolRemoveServer(): error remove application server from list (%d)", status);
    result = status;
  }
  CacheInfo* pCacheInfo = nullptr;
  status = KTASServerGetCacheInfo(pAS, &pCacheInfo, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolRemoveServer(): can't get cache info from AS (%d)", status);
    result = status;
  } else if ((status = CacheQueueRemoveServer(pASPool->pASQueue, pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolRemoveServer(): error removing application server from cache queue (%d)",
               status);
    result = status;
  }
  int count = 0;
  status = KTASServerListSize(pASPool->pServerList, &count, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolRemoveServer(): error get size of application server list (%d)", status);
    return status;
  }
  if (count == 0) {
    status = informPeers(pASPool, pMCList, KTMCServerQueueReleasePool, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolRemoveServer(): error inform other MCs (%d)", status);
      result = status;
    }
  }
  return result;
}

KTStatus ASPoolGetIdleServer(ASPool* pASPool, const CASRequestInfo* pASRequestInfo, KTBuffer* pIP,
                             unsigned short* pPort, KTLog* pLog) {
  if (pASPool == nullptr || pASRequestInfo == nullptr || pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "ASPoolGetIdleServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTASServerListGetIdle(pASPool->pServerList, pASRequestInfo,
                                          &pASPool->strategyInfo, pIP, pPort, pLog);
  if (status == STATUS_OK) {
    bump(pASPool->hits);
    return STATUS_OK;
  }
  bump(pASPool->misses);
  if (ASRequestInfoGetTries(pASRequestInfo) <= 0) bump(pASPool->unique_misses);
  if (status != ERROR_REQUESTROUTER_LIMIT_EXCEEDED && status != ERROR_NO_SUCH_ELEMENT) {
    KTLogWrite(pLog, "ASPoolGetIdleServer(): cannot get idle server (%d)", status);
  }
  return status;
}

KTStatus ASPoolExplain(ASPool* pASPool, const CASRequestInfo* pASRequestInfo, KTBuffer* pText,
                       KTLog* pLog) {
  if (pASPool == nullptr || pASRequestInfo == nullptr || pText == nullptr) {
    KTLogWrite(pLog, "ASPoolExplain(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTASServerListExplain(pASPool->pServerList, pASRequestInfo, pText, pLog);
}

KTStatus ASPoolGetMatchingServer(ASPool* pPool, const char* IP, unsigned short port,
                                 KTASServer** ppServer, KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolGetMatchingServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTASServerListGetMatching(pPool->pServerList, IP, port, ppServer, pLog);
}

KTStatus ASPoolGetMatchingForSocket(ASPool* pPool, KTSocket* pSocket, KTASServer** ppServer,
                                    KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolGetMatchingForSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTASServerListGetMatchingForSocket(pPool->pServerList, pSocket, ppServer, pLog);
}

KTStatus ASPoolAddTimeout(ASPool* pPool, KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolAddTimeout(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  bump(pPool->timeouts);
  return STATUS_OK;
}

/* Peers --------------------------------------------------------------------------- */

KTStatus ASPoolAddMC(ASPool* pASPool, KTMCServer* pMC, KTLog* pLog) {
  if (pASPool == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "ASPoolAddMC(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServer* pExisting = nullptr;
  KTStatus status = KTMCServerListGetMatching(pASPool->pMCServerList, KTMCServerHost(pMC),
                                              KTMCServerPort(pMC), &pExisting, pLog);
  if (status != STATUS_OK || pExisting != nullptr) return status;
  status = KTMCServerListAdd(pASPool->pMCServerList, pMC, pLog);
  if (status != STATUS_OK) return status;
  status = KTMCServerAddPoolCacheInfo(pMC, pASPool->name, pASPool->pMCQueue, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddMC(): error add MC cache queue list (%d)", status);
    KTMCServerListRemove(pASPool->pMCServerList, pMC, pLog);
  }
  return status;
}

KTStatus ASPoolRemoveMC(ASPool* pASPool, KTMCServer* pMC, KTLog* pLog) {
  if (pASPool == nullptr || pMC == nullptr) {
    KTLogWrite(pLog, "ASPoolRemoveMC(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTMCServerListRemove(pASPool->pMCServerList, pMC, pLog);
  if (status == ERROR_NO_SUCH_ELEMENT) return STATUS_OK;
  if (status != STATUS_OK) return status;
  return KTMCServerRemovePoolCacheInfo(pMC, pASPool->name, pASPool->pMCQueue, pLog);
}

KTStatus ASPoolGetMatchingMC(ASPool* pPool, const char* IP, unsigned short port, KTMCServer** ppMC,
                             KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolGetMatchingMC(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  return KTMCServerListGetMatching(pPool->pMCServerList, IP, port, ppMC, pLog);
}

/* Cache data ------------------------------------------------------------------------ */

KTStatus ASPoolAddServerData(ASPool* pASPool, KTASServer* pASServer, const char* dataBuffer,
                             KTBuffer* pResponse, KTLog* pLog) {
  if (pASPool == nullptr || pASServer == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "ASPoolAddServerData(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  CacheInfo* pCacheInfo = nullptr;
  KTStatus status = KTASServerGetCacheInfo(pASServer, &pCacheInfo, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddServerData(): error getting cache info (%d)", status);
    return status;
  }
  status = CacheInfoExchangeData(pCacheInfo, dataBuffer != nullptr ? dataBuffer : "", pResponse,
                                 pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddServerData(): error adding data to AS cache queue (%d)", status);
    return status;
  }
  if (dataBuffer == nullptr) return STATUS_OK;
  status = _ASPoolAddMCData(pASPool, dataBuffer, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddServerData(): error adding data to MC cache queue (%d)", status);
  }
  return status;
}

KTStatus ASPoolAddScriptData(ASPool* pASPool, const char* dataBuffer, int broadcast, KTLog* pLog) {
  if (pASPool == nullptr) {
    KTLogWrite(pLog, "ASPoolAddScriptData(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  if (dataBuffer == nullptr) return STATUS_OK;
  int servers = 0;
  KTStatus status = KTASServerListSize(pASPool->pServerList, &servers, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddScriptData(): error getting size of AS list (%d)", status);
    return status;
  }
  // A pool without servers keeps nothing: a server that joins later starts at the tail anyway.
  if (servers > 0 && (status = CacheQueueAddData(pASPool->pASQueue, dataBuffer, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddScriptData(): error adding data to AS cache queue (%d)", status);
    return status;
  }
  // Broadcast data has crossed its one router-to-router hop already.
  if (broadcast) return STATUS_OK;
  status = _ASPoolAddMCData(pASPool, dataBuffer, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolAddScriptData(): error adding data to MC cache queue (%d)", status);
  }
  return status;
}

long ASPoolAddScriptDataIterator(void* pElement, va_list args) {
  ASPool* pPool = static_cast<ASPool*>(pElement);
  ASPool* pSource = va_arg(args, ASPool*);
  const char* data = va_arg(args, const char*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pPool == nullptr || pPool == pSource) return STATUS_OK;
  ASPoolAddScriptData(pPool, data, 1, pLog);
  return STATUS_OK;
}

KTStatus ASPoolResetCache(ASPool* pPool, int broadcast, KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolResetCache(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = CacheQueueReset(pPool->pASQueue, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolResetCache(): error reset AS cache (%d)", status);
  if (!broadcast) {
    status = CacheQueueReset(pPool->pMCQueue, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolResetCache(): error reset MC cache (%d)", status);
  }
  return STATUS_OK;
}

long ASPoolResetCacheIterator(void* pElement, va_list args) {
  int broadcast = va_arg(args, int);
  KTLog* pLog = va_arg(args, KTLog*);
  ASPoolResetCache(static_cast<ASPool*>(pElement), broadcast, pLog);
  return STATUS_OK;
}

/* Monitor and statistics --------------------------------------------------------------- */

long ASPoolMonitorServer(void* pElement, va_list args) {
  ASPool* pPool = static_cast<ASPool*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pPool == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "ASPoolMonitorServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status =
      KTASServerListForEach(pPool->pServerList, KTASServerMonitorServer, pLog, pResponse, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolMonitorServer(): cant debug call for each server");
  return status;
}

long ASPoolMonitorDebug(void* pElement, va_list args) {
  ASPool* pPool = static_cast<ASPool*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pPool == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "ASPoolMonitorDebug(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status =
      KTASServerListForEach(pPool->pServerList, KTASServerMonitorDebug, pLog, pResponse, pLog);
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolMonitorDebug(): cant debug call for each server");
  return status;
}

long ASPoolMonitorPool(void* pElement, va_list args) {
  ASPool* pPool = static_cast<ASPool*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pPool == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "ASPoolMonitorPool(): wrong arguments passed to procedure");
    return STATUS_OK;
  }
  int peers = 0;
  KTStatus status = KTMCServerListSize(pPool->pMCServerList, &peers, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolMonitorPool(): error get size of MC list (%d)", status);
    peers = -1;
  }
  int servers = 0;
  status = KTASServerListSize(pPool->pServerList, &servers, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolMonitorPool(): error get size of AS list (%d)", status);
    servers = -1;
  }
  StateCounts counts = {};
  if (servers < 0) {
    for (int& count : counts.byState) count = -1;
  } else if (servers > 0) {
    status = KTASServerListForEach(pPool->pServerList, countState, pLog, &counts, pLog);
    if (status != STATUS_OK) {
      KTLogWrite(pLog, "ASPoolMonitorPool(): error getting number of idle AS (%d)", status);
      for (int& count : counts.byState) count = -1;
    }
  }
  int asItems = 0;
  status = CacheQueueGetCount(pPool->pASQueue, &asItems, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolMonitorPool(): error get size of AS cache (%d)", status);
    asItems = -1;
  }
  int mcItems = 0;
  status = CacheQueueGetCount(pPool->pMCQueue, &mcItems, pLog);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "ASPoolMonitorPool(): error get size of MC cache (%d)", status);
    mcItems = -1;
  }
  const VXStrategyInfo& strategy = pPool->strategyInfo;
  const auto load = [](const std::atomic<int>& counter) {
    return counter.load(std::memory_order_relaxed);
  };
  status = KTBufferStrAppendf(
      pResponse, "%c %s %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d %d\r\n", 'P',
      pPool->name, counts.byState[KTASSTATUS_IDLE], servers, peers, asItems, mcItems,
      load(pPool->hits), load(pPool->misses), load(strategy.byClientIP), load(strategy.bySiteGuid),
      load(strategy.byLastUse), load(strategy.limitByExtension), load(strategy.limitBySite),
      load(strategy.limitBySpecialSite), counts.byState[KTASSTATUS_ASSIGNED],
      counts.byState[KTASSTATUS_WORKING], counts.byState[KTASSTATUS_MONITOR],
      counts.byState[KTASSTATUS_SHUTDOWN], load(strategy.limitByClient), load(pPool->timeouts),
      load(pPool->unique_misses));
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolMonitorPool(): cannot write buffer (%d)", status);
  return STATUS_OK;
}

long ASPoolNameASUsed(void* pElement, va_list args) {
  ASPool* pPool = static_cast<ASPool*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pPool == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "ASPoolNameASUsed(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int servers = 0;
  KTStatus status = KTASServerListSize(pPool->pServerList, &servers, pLog);
  if (status != STATUS_OK || servers == 0) return status;
  status = KTBufferStrAppendf(pResponse, "%s\r\n", pPool->name);
  if (status != STATUS_OK) KTLogWrite(pLog, "ASPoolNameASUsed(): cannot write buffer (%d)", status);
  return status;
}

KTStatus ASPoolResetPool(ASPool* pPool, KTLog* pLog) {
  if (pPool == nullptr) {
    KTLogWrite(pLog, "ASPoolResetPool(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  for (std::atomic<int>* pCounter :
       {&pPool->hits, &pPool->misses, &pPool->unique_misses, &pPool->timeouts,
        &pPool->strategyInfo.byClientIP, &pPool->strategyInfo.bySiteGuid,
        &pPool->strategyInfo.byLastUse, &pPool->strategyInfo.limitByExtension,
        &pPool->strategyInfo.limitBySite, &pPool->strategyInfo.limitBySpecialSite,
        &pPool->strategyInfo.limitByClient}) {
    pCounter->store(0, std::memory_order_relaxed);
  }
  return STATUS_OK;
}

long ASPoolVResetPool(void* pElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  return ASPoolResetPool(static_cast<ASPool*>(pElement), pLog);
}
