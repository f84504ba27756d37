/* KTMCServer.cpp - one peer router's record: its life, state, connection, shared pools and lock.
 *
 * The sends are in KTMCServerSend.cpp, the send thread in
 * KTMCServerThread.cpp; the three share the record's layout through
 * internal/KTMCServerInternal.h.
 */
#include "KTMCServer.h"

#include <string.h>

#include <new>

#include "KTBuffer.h"
#include "KTCondition.h"
#include "KTDebug.h"
#include "KTHash.h"
#include "KTHostText.h"
#include "KTMemoryManager.h"
#include "KTServer.h"
#include "KTSocket.h"
#include "KTUtils.h"
#include "VXCacheInfo.h"
#include "internal/KTMCServerInternal.h"

const char* const MCStatusNames[3] = {"new", "down", "up"};

/* A held lock's leave fails only with ERROR_UNKNOWN, hence the fixed status. */
const char* const kKTMCServerLeaveFailure =
    "KTMCServerUnlock(): failed to leave critical section(1)";

bool KTMCServerEntered(const KTLockGuard& guard, KTLog* pLog) {
  if (!guard.locked()) {
    KTLogWrite(pLog, "KTMCServerLock(): failed to enter critical section(%d)", guard.status());
  }
  return guard.locked();
}

KTMutex* KTMCServerMutex(KTMCServer* pMC) { return &pMC->lock; }

namespace {

/* Hash destructor: unregisters the reader from its queue and frees it.
 * Variable argument: the KTLog*. */
long freeCacheInfo(void** ppElement, va_list args) {
  KTLog* pLog = va_arg(args, KTLog*);
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(*ppElement);
  if (pCacheInfo == nullptr) return STATUS_OK;
  CacheQueue* pQueue = nullptr;
  if (CacheInfoGetQueue(pCacheInfo, &pQueue, pLog) == STATUS_OK && pQueue != nullptr) {
    CacheQueueRemoveServer(pQueue, pCacheInfo, pLog);
  }
  CacheInfoFree(&pCacheInfo, pLog);
  *ppElement = nullptr;
  return STATUS_OK;
}

/* Releases whatever parts of the record exist, in reverse order of creation;
 * once the send thread has ended no other thread uses the record. Returns
 * the last failing step's status. */
KTStatus releaseParts(KTMCServer* pMC, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  KTStatus result = STATUS_OK;
  KTStatus status;
  if (pMC->pThread != nullptr && (status = KTMCServerSendThreadStop(pMC, pLog)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pServer != nullptr && (status = KTServerFree(&pMC->pServer, pLog)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pCacheInfoHash != nullptr) {
    KTHashClearAndFreeElements(pMC->pCacheInfoHash, pMC->pMemoryManager, freeCacheInfo, pLog);
    if ((status = KTHashFree(&pMC->pCacheInfoHash, pMC->pMemoryManager)) != STATUS_OK) {
      result = status;
    }
  }
  if (pMC->pMemoryManager != nullptr &&
      (status = pMC->pMemoryManager->Free(&pMC->pMemoryManager)) != STATUS_OK) {
    result = status;
  }
  if (pMC->pCondition != nullptr && (status = KTConditionFree(&pMC->pCondition)) != STATUS_OK) {
    result = status;
  }
  if ((status = pMC->lock.Destroy()) != STATUS_OK) result = status;
  return result;
}

/* Creates the cache-info hash of a record not yet published to other threads. */
KTStatus createHash(KTMCServer* pMC) KT_NO_THREAD_SAFETY_ANALYSIS {
  return KTHashNew(&pMC->pCacheInfoHash, pMC->pMemoryManager);
}

/* Sets the state of a record not yet published to other threads. */
void initState(KTMCServer* pMC) KT_NO_THREAD_SAFETY_ANALYSIS {
  pMC->MCStatus = KTMCSTATUS_STARTED;
  pMC->SocketFd = -1;
  pMC->lastContact = 0;
}

}  // namespace

/* Creation and release ------------------------------------------------------ */

KTStatus KTMCServerNew(KTMCServer** ppMC, const char* IP, unsigned short port, const char* myMCIP,
                       unsigned short myMCPort, KTLog* pLog) {
  if (ppMC == nullptr || *ppMC != nullptr || IP == nullptr || myMCIP == nullptr) {
    KTLogWrite(pLog, "KTMCServerNew(): wrong arguments passed to procedure (ppMC: %x, IP: %s, myMCIP: %s)",
               KT_PTR32(ppMC), IP != nullptr ? IP : "(null)", myMCIP != nullptr ? myMCIP : "(null)");
    return ERROR_INVALID_PARAMETER;
  }
  if (strlen(IP) >= KTMCSERVER_HOST_SIZE || strlen(myMCIP) >= KTMCSERVER_HOST_SIZE) {
    KTLogWrite(pLog, "KTMCServerNew(): host name too long (peer: %d, own: %d characters, at most %d)",
               (int)strlen(IP), (int)strlen(myMCIP), KTMCSERVER_HOST_SIZE - 1);
    return ERROR_INVALID_PARAMETER;
  }
  KTMCServer* pMC = new (std::nothrow) KTMCServer();
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerNew(): error alloc memory for server.");
    return ERROR_MEMORY_ALLOCATION;
  }
  KTStatus status = pMC->lock.Create();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating critical section (%d) ", status);
  } else if ((status = KTConditionNew(&pMC->pCondition)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating condition (%d) ", status);
  } else if ((status = KTMemoryManagerSysNew(&pMC->pMemoryManager)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating local system memory manager");
  } else if ((status = createHash(pMC)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error creating cache info hash (%d)", status);
  } else if ((status = KTServerNew(&pMC->pServer, IP, port, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerNew(): error new server (%d).", status);
  }
  if (status == STATUS_OK) {
    initState(pMC);
    strcpy(pMC->IP, IP);  // lengths checked above
    pMC->port = port;
    strcpy(pMC->myMCIP, myMCIP);
    pMC->myMCPort = myMCPort;
    status = KTMCServerSendThreadStart(pMC, pLog);
    if (status != STATUS_OK) KTLogWrite(pLog, "KTMCServerNew(): error start thread (%d).", status);
  }
  if (status != STATUS_OK) {
    releaseParts(pMC, pLog);
    delete pMC;
    return status;
  }
  *ppMC = pMC;
  return STATUS_OK;
}

KTStatus KTMCServerFree(KTMCServer** ppMC, KTLog* pLog) {
  if (ppMC == nullptr || *ppMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = releaseParts(*ppMC, pLog);
  delete *ppMC;
  *ppMC = nullptr;
  return status;
}

/* State and connection ---------------------------------------------------------- */

KTStatus KTMCServerSetShutdown(KTMCServer* pMC, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerSetShutdown(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) {
    KTLogWrite(pLog, "KTMCServerSetShutdown(): error lock MC.");
    return guard.status();
  }
  if (pMC->MCStatus != KTMCSTATUS_SHUTDOWN) {
    KTLogWrite(pLog, "MC [%s]:%hu shut down", pMC->IP, pMC->port);
  }
  pMC->MCStatus = KTMCSTATUS_SHUTDOWN;
  pMC->SocketFd = -1;
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

KTStatus KTMCServerSetSocket(KTMCServer* pMC, KTSocket* pSocket, KTLog* pLog) {
  if (pMC == nullptr) {
    KTLogWrite(pLog, "KTMCServerSetSocket(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  int fd = -1;
  if (pSocket != nullptr) {
    KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
    if (status != STATUS_OK) return status;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  pMC->SocketFd = fd;
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

KTStatus KTMCServerSocketMatches(KTMCServer* pMC, KTSocket* pSocket, int* pResult, KTLog* pLog) {
  if (pMC == nullptr || pSocket == nullptr || pResult == nullptr) {
    KTLogWrite(pLog, "KTMCServerSocketMatches(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pResult = 0;
  int fd = -1;
  KTStatus status = KTSocketGetFd(pSocket, &fd, pLog);
  if (status != STATUS_OK) return status;
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  *pResult = (fd != -1 && fd == pMC->SocketFd) ? 1 : 0;
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

KTStatus KTMCServerMatches(KTMCServer* pMC, const char* host, unsigned short port, int* pMatches,
                           KTLog* pLog) {
  if (pMC == nullptr || host == nullptr || pMatches == nullptr) {
    KTLogWrite(pLog, "KTMCServerMatches(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pMatches = 0;
  // The port first: it spares a name lookup for every other peer.
  if (port != pMC->port || CompareHostAddr(host, pMC->IP, pLog) != 0) return STATUS_OK;
  *pMatches = 1;
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  pMC->lastContact = KTTimeNow();
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

KTStatus KTMCServerGetHost(KTMCServer* pMC, KTBuffer* pIP, unsigned short* pPort, KTLog* pLog) {
  if (pMC == nullptr || pIP == nullptr || pPort == nullptr) {
    KTLogWrite(pLog, "KTMCServerGetHost(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = KTBufferStrSet(pIP, pMC->IP);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerGetHost(): error setting IP buffer (%d)", status);
    return status;
  }
  *pPort = pMC->port;
  return STATUS_OK;
}

KTStatus KTMCServerGetStatus(KTMCServer* pMC, KTMCStatus* pStatus, KTLog* pLog) {
  if (pMC == nullptr || pStatus == nullptr) {
    KTLogWrite(pLog, "KTMCServerGetStatus(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  *pStatus = pMC->MCStatus;
  return guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
}

long KTMCServerMonitorServer(void* pElement, va_list args) {
  KTMCServer* pMC = static_cast<KTMCServer*>(pElement);
  KTBuffer* pResponse = va_arg(args, KTBuffer*);
  KTLog* pLog = va_arg(args, KTLog*);
  if (pMC == nullptr || pResponse == nullptr) {
    KTLogWrite(pLog, "KTMCServerMonitorServer(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  const KTMCStatus state = pMC->MCStatus;
  const time_t lastContact = pMC->lastContact;
  KTStatus status = guard.finish(STATUS_OK, pLog, kKTMCServerLeaveFailure);
  if (status != STATUS_OK) return status;
  const int seconds = lastContact == 0 ? -1 : (int)(KTTimeNow() - lastContact);
  const int index = (int)state + 1;
  const char* name = index >= 0 && index < 3 ? MCStatusNames[index] : "unknown";
  status = KTBufferStrAppendf(pResponse, "%s %s:%hu %s %d\r\n", "M", pMC->IP, pMC->port, name,
                              seconds);
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerMonitorServer(): error append to buffer (%d)", status);
  }
  return status;
}

/* Shared pools ------------------------------------------------------------------- */

KTStatus KTMCServerAddPoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                    KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || pQueue == nullptr) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  KTStatus status = STATUS_OK;
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(
      KTHashGet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName, &status));
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error get cache info from hash.");
  } else if (pCacheInfo != nullptr) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): cache already info exists.");
  } else if ((status = CacheInfoNew(&pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error create cache info.");
  } else if ((status = KTHashSet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName,
                                 pCacheInfo)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error adding cache infoto hash.");
    CacheInfoFree(&pCacheInfo, pLog);
  } else if ((status = CacheQueueAddServer(pQueue, pCacheInfo, pLog)) != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerAddPoolCacheInfo(): error adding cache info to cache queue.");
    KTHashRemove(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName);
    CacheInfoFree(&pCacheInfo, pLog);
  }
  return guard.finish(status, pLog, kKTMCServerLeaveFailure);
}

KTStatus KTMCServerRemovePoolCacheInfo(KTMCServer* pMC, const char* poolName, CacheQueue* pQueue,
                                       KTLog* pLog) {
  if (pMC == nullptr || poolName == nullptr || pQueue == nullptr) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTLockGuard guard(pMC->lock);
  if (!KTMCServerEntered(guard, pLog)) return guard.status();
  KTStatus status = STATUS_OK;
  CacheInfo* pCacheInfo = static_cast<CacheInfo*>(
      KTHashGet(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName, &status));
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error get cache info from hash.");
  } else if (pCacheInfo == nullptr) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): cache info not exists.");
  } else if ((status = KTHashRemove(pMC->pCacheInfoHash, pMC->pMemoryManager, poolName)) !=
             STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error remove cache info.");
  } else {
    // Out of the hash: the reader is gone whatever the queue says.
    KTStatus queueStatus = CacheQueueRemoveServer(pQueue, pCacheInfo, pLog);
    if (queueStatus != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): can't remove cache info from queue.");
      status = queueStatus;
    }
    KTStatus freeStatus = CacheInfoFree(&pCacheInfo, pLog);
    if (freeStatus != STATUS_OK) {
      KTLogWrite(pLog, "KTMCServerRemovePoolCacheInfo(): error free cache info.");
      status = freeStatus;
    }
  }
  return guard.finish(status, pLog, kKTMCServerLeaveFailure);
}

/* Locking --------------------------------------------------------------------------- */

KTStatus KTMCServerLock(KTMCServer* pMC, int* pLocked, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pLocked != nullptr) *pLocked = 0;
  if (pMC == nullptr || pLocked == nullptr || !pMC->lock.Created()) {
    KTLogWrite(pLog, "KTMCServerLock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pMC->lock.Lock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerLock(): failed to enter critical section(%d)", status);
    return status;
  }
  *pLocked = 1;
  return STATUS_OK;
}

KTStatus KTMCServerUnlock(KTMCServer* pMC, KTLog* pLog) KT_NO_THREAD_SAFETY_ANALYSIS {
  if (pMC == nullptr || !pMC->lock.Created()) {
    KTLogWrite(pLog, "KTMCServerUnlock(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTStatus status = pMC->lock.Unlock();
  if (status != STATUS_OK) {
    KTLogWrite(pLog, "KTMCServerUnlock(): failed to leave critical section(%d)", status);
  }
  return status;
}

/* Host and port ------------------------------------------------------------------ */

const char* KTMCServerHost(const KTMCServer* pMC) { return pMC != nullptr ? pMC->IP : nullptr; }

unsigned short KTMCServerPort(const KTMCServer* pMC) { return pMC != nullptr ? pMC->port : 0; }
